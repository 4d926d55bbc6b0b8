// Plain text for the model's events.
#include "sim/modem_report.h"

#include <cstdio>

namespace sim {
namespace {

std::string What(const ModemEvent& event) {
    const std::string image = event.image ? ImageName(*event.image) : "?";
    const std::string value = std::to_string(event.value);
    switch (event.kind) {
        case ModemEventKind::kPowerOn:
            return "power-on";
        case ModemEventKind::kPowerOnIgnored:
            return "power-key pulse ignored";
        case ModemEventKind::kReset:
            return "reset";
        case ModemEventKind::kCpldMode:
            return "CPLD mode " + value;
        case ModemEventKind::kHandshake:
            return "handshake done";
        case ModemEventKind::kSpeedChange:
            return "speed " + value;
        case ModemEventKind::kImageIdentified:
            return "image " + image + " identified";
        case ModemEventKind::kImageComplete:
            return "image " + image + " complete";
        case ModemEventKind::kError:
            return "error at record " + value;
        case ModemEventKind::kFault:
            return "fault at record " + value;
    }
    return "event";
}

}  // namespace

const char* ImageName(ImageKind image) {
    return image == ImageKind::kSw ? "SW" : "FS";
}

std::string DescribeEvent(const ModemEvent& event) {
    char time[32];
    std::snprintf(time, sizeof time, "%lld.%06lld s  ",
                  static_cast<long long>(event.time_us / 1'000'000),
                  static_cast<long long>(event.time_us % 1'000'000));
    std::string text = time + What(event);
    if (!event.detail.empty())
        text += ": " + event.detail;
    return text;
}

std::vector<ModemEvent> ModemReport::EventsOf(ModemEventKind kind) const {
    std::vector<ModemEvent> found;
    for (const ModemEvent& event : events) {
        if (event.kind == kind)
            found.push_back(event);
    }
    return found;
}

}  // namespace sim
