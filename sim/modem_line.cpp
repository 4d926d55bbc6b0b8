// The far end of a simulated link as the modem's line.
#include "sim/modem_line.h"

#include "host/sim/sim_serial.h"

namespace sim {

size_t SimModemLine::Read(uint8_t* buffer, size_t max, int64_t deadline_us) {
    return link_->FarRead(buffer, max, deadline_us);
}

void SimModemLine::Write(const uint8_t* data, size_t size) {
    link_->FarWrite(data, size);
}

void SimModemLine::SetBaud(uint32_t baud) {
    link_->SetFarBaud(baud);
}

bool SimModemLine::LimitNextWrite(uint32_t bytes) {
    link_->LimitNextWrite(bytes);
    return true;
}

}  // namespace sim
