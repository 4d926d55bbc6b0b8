// The radio stack shutdown: before the updater drives the modem over its direct serial link,
// the device's radio stack lets go of it.  The phone radio is switched off through the
// platform's wireless-device list, and the drivers that hold the modem ("RIL1:", "VEI1:" to
// "VEI5:", "MUX1:", "SPI2:") are found in the loaded-driver registry and unloaded.  The
// sequence itself is CUpdaterDlg::TurnOffRIL (app/updater_dlg.h).
//
// Everything here only logs its outcome; nothing stops the sequence or shows anything.
#pragma once

#include <cstdint>
#include <string>

// Non-zero when a phone radio is on and must be switched off; 0 when the list is empty or
// has no phone radio.
uint32_t IsGsmRadioOn();

// Asks every phone radio of the list to switch off (save mode 2).  False when a request
// answered the platform's generic failure.
bool TurnGsmRadioOff();

// The handle ("Hnd") of the loaded driver whose "Name" is exactly `name` (case counts), or 0
// when it is not loaded or any registry step fails.  A subkey that cannot be opened ends the
// search; a subkey or "Name" too long for its buffer (15 characters) is passed over.
uint32_t FindActivatedDeviceHandle(const std::wstring& name);
