// The platform's wireless-device services and driver deactivation, used to take the radio
// stack off the modem.  Filled in with the radio stack shutdown.
#pragma once

namespace host {

class Radio {
  public:
    virtual ~Radio() = default;
};

}  // namespace host
