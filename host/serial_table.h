// What every host's serial devices share beside their system calls: the table of open devices
// by handle, the time-outs a device keeps, and the total time-out arithmetic.
//
// The table holds each device by shared_ptr and Find hands every call its own reference, so
// that a device removed by Close lives on until the last call inside it has returned: a host
// releases its system handle in the device's destructor, never under a call.  Handles are
// never reused.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "host/serial.h"

namespace host {

// A transfer's total time-out: `multiplier_ms` for each of `count` bytes plus `constant_ms`,
// wide enough that no count overflows it.
inline int64_t TotalMs(uint32_t multiplier_ms, uint32_t constant_ms, uint32_t count) {
    return int64_t{multiplier_ms} * count + constant_ms;
}

// The name and time-outs of one open device.  The name is set before the device is shared and
// never changed after; `mutex` guards the time-outs and whatever a host's device adds to them.
struct SerialDeviceBase {
    int64_t ReadTotalMs(uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex);
        return TotalMs(timeouts.read_multiplier_ms, timeouts.read_constant_ms, count);
    }
    int64_t WriteTotalMs(uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex);
        return TotalMs(timeouts.write_multiplier_ms, timeouts.write_constant_ms, count);
    }
    void StoreTimeouts(const SerialTimeouts& value) {
        std::lock_guard<std::mutex> lock(mutex);
        timeouts = value;
    }

    std::wstring name;
    std::mutex mutex;
    SerialTimeouts timeouts;
};

// The open devices by handle.  Close and CloseAll call the device's Shutdown, which must wake
// every call inside it; they call it outside the table's lock.
template <typename Device>
class SerialTable {
  public:
    using Ptr = std::shared_ptr<Device>;

    // A handle for an open still in progress, so that a failed open uses one up too.
    SerialHandle Reserve() {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_handle_++;
    }
    void Insert(SerialHandle handle, Ptr device) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.emplace(handle, std::move(device));
    }
    SerialHandle Add(Ptr device) {
        std::lock_guard<std::mutex> lock(mutex_);
        const SerialHandle handle = next_handle_++;
        open_.emplace(handle, std::move(device));
        return handle;
    }

    Ptr Find(SerialHandle handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = open_.find(handle);
        return it == open_.end() ? nullptr : it->second;
    }
    // The open device called `name` (the name it was opened by), if any.
    Ptr FindByName(const std::wstring& name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [handle, device] : open_) {
            if (device->name == name)
                return device;
        }
        return nullptr;
    }

    // Takes the handle out of the table; nullptr when it is not open.
    Ptr Remove(SerialHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = open_.find(handle);
        if (it == open_.end())
            return nullptr;
        Ptr device = std::move(it->second);
        open_.erase(it);
        return device;
    }
    bool Close(SerialHandle handle) {
        const Ptr device = Remove(handle);
        if (!device)
            return false;
        device->Shutdown();
        return true;
    }
    void CloseAll() {
        std::map<SerialHandle, Ptr> open;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open.swap(open_);
        }
        for (auto& [handle, device] : open)
            device->Shutdown();
    }

  private:
    mutable std::mutex mutex_;
    std::map<SerialHandle, Ptr> open_;
    SerialHandle next_handle_ = 1;
};

}  // namespace host
