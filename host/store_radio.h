// The wireless-device services and driver deactivation for the updater on the host, kept in
// the virtual board's device root.  Nothing here touches the machine's own radios or drivers.
//
// The phone radio is the DWORD "Radio" under HKEY_LOCAL_MACHINE "System\State\Phone" in the
// registry store: while the value exists the device has a phone radio (one entry of type 2 in
// the wireless-device list), and it is on while the value is non-zero.  The virtual board (or
// a person with regtool) sets it; a switch-off request writes 0 there.
//
// Loaded drivers are listed under "Drivers\Active" of the same store.  Deactivating a handle
// removes the driver's subkey and its entry in the device map (ROOT/dev/NAME for "NAME:"), so
// that the device can no longer be opened; a descriptor already open stays usable.
#pragma once

#include <string>

#include "host/radio.h"

namespace host {

constexpr const wchar_t* kPhoneStateKey = L"System\\State\\Phone";
constexpr const wchar_t* kPhoneRadioValue = L"Radio";

class StoreRadio final : public Radio {
  public:
    // root: the device root; registry: its store, or null for the installed registry, looked
    // up at each use.
    explicit StoreRadio(std::string root, Registry* registry = nullptr);

    RadioResult GetDevices(RadioDevice** devices, uint32_t flags) override;
    RadioResult GetPhoneRadioState(uint32_t* state) override;
    RadioResult ChangeRadioState(RadioDevice* device, uint32_t state, uint32_t save_mode) override;
    RadioResult FreeDevices(RadioDevice* devices) override;
    bool DeactivateDevice(uint32_t handle) override;

  private:
    Registry& Store();
    bool ReadPhoneState(uint32_t* state);

    const std::string root_;
    Registry* const registry_;
};

}  // namespace host
