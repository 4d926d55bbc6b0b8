// Radio services in the device root's registry store and device map.
#include "host/store_radio.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "host/device_root.h"
#include "host/platform.h"

namespace host {
namespace {

constexpr uint32_t kPhoneId = 1;

}  // namespace

StoreRadio::StoreRadio(std::string root, Registry* registry)
    : root_(std::move(root)), registry_(registry) {}

RadioResult StoreRadio::GetDevices(RadioDevice** devices, uint32_t /*flags*/) {
    *devices = nullptr;
    uint32_t state = 0;
    if (!ReadPhoneState(&state))
        return kRadioOk;  // no phone radio: an empty list
    auto* phone = new RadioDevice;
    phone->id = kPhoneId;
    phone->state = state;
    phone->device_type = kRadioTypePhone;
    *devices = phone;
    return kRadioOk;
}

RadioResult StoreRadio::GetPhoneRadioState(uint32_t* state) {
    return ReadPhoneState(state) ? kRadioOk : kRadioFailed;
}

RadioResult StoreRadio::ChangeRadioState(RadioDevice* device, uint32_t state,
                                         uint32_t /*save_mode*/) {
    if (device == nullptr || device->id != kPhoneId || device->device_type != kRadioTypePhone)
        return kRadioFailed;
    Registry& store = Store();
    RegKey key = 0;
    if (store.OpenKey(kHkeyLocalMachine, kPhoneStateKey, &key) != kRegOk)
        return kRadioFailed;
    const long written = store.SetValue(key, kPhoneRadioValue, kRegDword, &state, sizeof state);
    store.CloseKey(key);
    return written == kRegOk ? kRadioOk : kRadioFailed;
}

RadioResult StoreRadio::FreeDevices(RadioDevice* devices) {
    while (devices != nullptr) {
        RadioDevice* next = devices->next;
        delete devices;
        devices = next;
    }
    return kRadioOk;
}

bool StoreRadio::DeactivateDevice(uint32_t handle) {
    std::wstring name;
    if (!UnregisterActiveDriver(Store(), handle, &name))
        return false;
    // Only names that map into the device root are acted on; a missing entry is no error.
    if (std::optional<std::string> path = DevicePath(root_, name)) {
        // The path is UTF-8; a plain narrow path would be read in Windows's ANSI code page.
        const std::u8string utf8(path->begin(), path->end());
        std::error_code error;
        std::filesystem::remove(std::filesystem::path(utf8), error);
    }
    return true;
}

Registry& StoreRadio::Store() {
    return registry_ != nullptr ? *registry_ : CurrentRegistry();
}

bool StoreRadio::ReadPhoneState(uint32_t* state) {
    Registry& store = Store();
    RegKey key = 0;
    if (store.OpenKey(kHkeyLocalMachine, kPhoneStateKey, &key) != kRegOk)
        return false;
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    const bool ok = store.QueryValue(key, kPhoneRadioValue, &type, &value, &size) == kRegOk &&
                    type == kRegDword && size == sizeof value;
    store.CloseKey(key);
    if (ok)
        *state = value;
    return ok;
}

}  // namespace host
