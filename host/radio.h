// The platform's wireless-device services and driver deactivation, used to take the radio
// stack off the modem: the list of radio devices, the phone radio's state and a request to
// change a radio's state, and the unloading of a loaded driver by its handle.
//
// Loaded drivers are listed by the platform in the registry, under HKEY_LOCAL_MACHINE
// "Drivers\Active": one subkey per driver, holding at least "Name" (a string, the device name
// with its colon, e.g. "RIL1:") and "Hnd" (a DWORD, the handle that DeactivateDevice takes).
// RegisterActiveDriver and UnregisterActiveDriver keep that table for the implementations.
//
// Implementations: host/sim/sim_radio.h (in memory, for tests and the in-process virtual
// board) and host/store_radio.h (against the device root of the virtual board).
#pragma once

#include <cstdint>
#include <string>

#include "host/registry.h"

namespace host {

// Result codes of the wireless-device services, in the platform's numbering.
using RadioResult = uint32_t;
constexpr RadioResult kRadioOk = 0;
constexpr RadioResult kRadioFailed = 0x80004005;  // the platform's generic failure

// Device types of the list's entries.
constexpr uint32_t kRadioTypePhone = 2;  // the phone (GSM) radio

// Radio states, and the save mode (how the platform keeps a change) that the shutdown asks for.
constexpr uint32_t kRadioStateOff = 0;
constexpr uint32_t kRadioStateOn = 1;
constexpr uint32_t kRadioShutdownSaveMode = 2;

// One entry of the wireless-device list, handed out by GetDevices and taken back, with the
// entries after it, by FreeDevices.  The system reads device_type and next only; the other
// fields belong to the implementation.
struct RadioDevice {
    uint32_t id = 0;     // the implementation's own name for the radio
    uint32_t state = 0;  // the radio's state when the list was made
    uint32_t device_type = 0;
    RadioDevice* next = nullptr;
};

class Radio {
  public:
    virtual ~Radio() = default;

    // Stores the list of wireless devices in *devices, or null when there are none or the
    // call fails.  flags 0: every kind of device.
    virtual RadioResult GetDevices(RadioDevice** devices, uint32_t flags) = 0;
    // The phone radio's state: non-zero while it is on.  *state is written only on success.
    virtual RadioResult GetPhoneRadioState(uint32_t* state) = 0;
    // Asks the radio of a list entry to go to `state`, kept as `save_mode` says.
    virtual RadioResult ChangeRadioState(RadioDevice* device, uint32_t state,
                                         uint32_t save_mode) = 0;
    // Takes back a list from GetDevices; null is allowed.
    virtual RadioResult FreeDevices(RadioDevice* devices) = 0;

    // Unloads the loaded driver whose "Hnd" is `handle`: its entry under "Drivers\Active"
    // goes, and its device can no longer be opened.  False when no driver has that handle.
    virtual bool DeactivateDevice(uint32_t handle) = 0;
};

// The loaded-driver table in a registry.
constexpr const wchar_t* kActiveDriversKey = L"Drivers\\Active";

// Adds (or replaces) the subkey "Drivers\Active\<subkey>" with "Name" and "Hnd".
bool RegisterActiveDriver(Registry& registry, const std::wstring& subkey, const std::wstring& name,
                          uint32_t handle);
// Removes the first subkey whose "Hnd" is a DWORD equal to handle and gives its "Name" (empty
// when it has none).  False when no subkey has that handle.
bool UnregisterActiveDriver(Registry& registry, uint32_t handle, std::wstring* name);

}  // namespace host
