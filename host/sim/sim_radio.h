// The wireless-device services and driver deactivation in memory, for tests and the in-process
// virtual board.  Radios are configured by the test (none, a phone radio on or off, other
// types, several of each); every state-change request and every deactivation is recorded.
//
// Loaded drivers are listed where the platform lists them, under "Drivers\Active" of a
// registry (the installed one unless another is given).  Deactivating a handle removes its
// driver's entry and closes its device: a simulated serial device of that name ("VEI1:") among
// the ones given is unplugged, so that it can no longer be opened.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/radio.h"

namespace host {

class SimSerialPorts;

class SimRadio final : public Radio {
  public:
    // registry: where the loaded drivers are listed; null: the installed registry, looked up
    // at each use.  serial: the simulated devices a deactivation unplugs; null: none.
    explicit SimRadio(Registry* registry = nullptr, SimSerialPorts* serial = nullptr);
    ~SimRadio() override;
    SimRadio(const SimRadio&) = delete;
    SimRadio& operator=(const SimRadio&) = delete;

    // Radios, listed in the order they were added.  AddRadio returns the radio's id.
    uint32_t AddRadio(uint32_t device_type, bool on);
    void SetRadioOn(uint32_t id, bool on);
    bool RadioOn(uint32_t id);
    // The answer of every later state-change request; only kRadioOk lets the change happen.
    void AnswerChangesWith(RadioResult result);

    struct Request {
        uint32_t id;
        uint32_t device_type;
        uint32_t state;
        uint32_t save_mode;
    };
    std::vector<Request> Requests();
    // Lists handed out by GetDevices and not yet taken back.
    int OutstandingLists();

    // Loaded drivers.  Without a subkey, the driver gets the next free number ("01", "02"...),
    // as the platform numbers them.
    bool LoadDriver(const std::wstring& name, uint32_t handle);
    bool LoadDriver(const std::wstring& subkey, const std::wstring& name, uint32_t handle);
    // The whole radio stack: "RIL1:", "VEI1:" to "VEI5:", "MUX1:" and "SPI2:", with handles
    // first_handle, first_handle + 1, ... in that order.
    void LoadRadioStack(uint32_t first_handle);

    struct Deactivation {
        uint32_t handle;
        std::wstring name;  // the driver's "Name"
        bool found;         // a driver had the handle
    };
    std::vector<Deactivation> Deactivations();

    RadioResult GetDevices(RadioDevice** devices, uint32_t flags) override;
    RadioResult GetPhoneRadioState(uint32_t* state) override;
    RadioResult ChangeRadioState(RadioDevice* device, uint32_t state, uint32_t save_mode) override;
    RadioResult FreeDevices(RadioDevice* devices) override;
    bool DeactivateDevice(uint32_t handle) override;

  private:
    struct SimulatedRadio {
        uint32_t id;
        uint32_t device_type;
        uint32_t state;
    };
    Registry& DriverRegistry();
    SimulatedRadio* FindLocked(uint32_t id);

    Registry* const registry_;
    SimSerialPorts* const serial_;
    std::mutex mutex_;
    std::vector<SimulatedRadio> radios_;
    std::vector<Request> requests_;
    std::vector<Deactivation> deactivations_;
    RadioResult change_answer_ = kRadioOk;
    int outstanding_lists_ = 0;
    uint32_t next_subkey_ = 1;
};

}  // namespace host
