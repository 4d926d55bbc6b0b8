// Simulated radios and driver deactivation.
#include "host/sim/sim_radio.h"

#include <cwchar>

#include "host/platform.h"
#include "host/sim/sim_serial.h"

namespace host {

SimRadio::SimRadio(Registry* registry, SimSerialPorts* serial)
    : registry_(registry), serial_(serial) {}

SimRadio::~SimRadio() = default;

uint32_t SimRadio::AddRadio(uint32_t device_type, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto id = static_cast<uint32_t>(radios_.size() + 1);
    radios_.push_back({id, device_type, on ? kRadioStateOn : kRadioStateOff});
    return id;
}

void SimRadio::SetRadioOn(uint32_t id, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (SimulatedRadio* radio = FindLocked(id))
        radio->state = on ? kRadioStateOn : kRadioStateOff;
}

bool SimRadio::RadioOn(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    SimulatedRadio* radio = FindLocked(id);
    return radio != nullptr && radio->state != kRadioStateOff;
}

void SimRadio::AnswerChangesWith(RadioResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    change_answer_ = result;
}

std::vector<SimRadio::Request> SimRadio::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int SimRadio::OutstandingLists() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_lists_;
}

bool SimRadio::LoadDriver(const std::wstring& name, uint32_t handle) {
    uint32_t number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        number = next_subkey_++;
    }
    wchar_t subkey[16];
    std::swprintf(subkey, 16, L"%02u", number);
    return LoadDriver(subkey, name, handle);
}

bool SimRadio::LoadDriver(const std::wstring& subkey, const std::wstring& name, uint32_t handle) {
    return RegisterActiveDriver(DriverRegistry(), subkey, name, handle);
}

void SimRadio::LoadRadioStack(uint32_t first_handle) {
    static const wchar_t* const kStack[] = {L"RIL1:", L"VEI1:", L"VEI2:", L"VEI3:",
                                            L"VEI4:", L"VEI5:", L"MUX1:", L"SPI2:"};
    uint32_t handle = first_handle;
    for (const wchar_t* name : kStack)
        LoadDriver(name, handle++);
}

std::vector<SimRadio::Deactivation> SimRadio::Deactivations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deactivations_;
}

RadioResult SimRadio::GetDevices(RadioDevice** devices, uint32_t /*flags*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    *devices = nullptr;
    if (radios_.empty())
        return kRadioOk;
    // Built back to front so that the list keeps the order the radios were added in.
    for (auto radio = radios_.rbegin(); radio != radios_.rend(); ++radio) {
        auto* entry = new RadioDevice;
        entry->id = radio->id;
        entry->state = radio->state;
        entry->device_type = radio->device_type;
        entry->next = *devices;
        *devices = entry;
    }
    ++outstanding_lists_;
    return kRadioOk;
}

RadioResult SimRadio::GetPhoneRadioState(uint32_t* state) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool any_phone = false;
    uint32_t phone_state = kRadioStateOff;
    for (const SimulatedRadio& radio : radios_) {
        if (radio.device_type != kRadioTypePhone)
            continue;
        any_phone = true;
        if (radio.state != kRadioStateOff)
            phone_state = radio.state;
    }
    if (!any_phone)
        return kRadioFailed;
    *state = phone_state;
    return kRadioOk;
}

RadioResult SimRadio::ChangeRadioState(RadioDevice* device, uint32_t state, uint32_t save_mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device == nullptr)
        return kRadioFailed;
    requests_.push_back({device->id, device->device_type, state, save_mode});
    SimulatedRadio* radio = FindLocked(device->id);
    if (radio == nullptr)
        return kRadioFailed;
    if (change_answer_ == kRadioOk)
        radio->state = state;
    return change_answer_;
}

RadioResult SimRadio::FreeDevices(RadioDevice* devices) {
    if (devices == nullptr)
        return kRadioOk;
    while (devices != nullptr) {
        RadioDevice* next = devices->next;
        delete devices;
        devices = next;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --outstanding_lists_;
    return kRadioOk;
}

bool SimRadio::DeactivateDevice(uint32_t handle) {
    std::wstring name;
    const bool found = UnregisterActiveDriver(DriverRegistry(), handle, &name);
    if (found && !name.empty()) {
        if (std::shared_ptr<SimLink> link = serial_ ? serial_->Device(name) : nullptr)
            link->Unplug();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    deactivations_.push_back({handle, name, found});
    return found;
}

Registry& SimRadio::DriverRegistry() {
    return registry_ != nullptr ? *registry_ : CurrentRegistry();
}

SimRadio::SimulatedRadio* SimRadio::FindLocked(uint32_t id) {
    for (SimulatedRadio& radio : radios_) {
        if (radio.id == id)
            return &radio;
    }
    return nullptr;
}

}  // namespace host
