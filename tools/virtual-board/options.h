// The virtual board's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/modem_faults.h"
#include "tools/virtual-board/board_faults.h"

namespace vboard {

struct Options {
    std::optional<std::string> root;  // a device root to (re)provision and keep
    bool reuse = false;               // keep the root's store and register file as they are
    bool pace = false;                // the line carries bytes at its bit rate
    std::optional<uint32_t> device_name;
    std::optional<uint32_t> reboot;
    std::vector<std::string> fault_lists;  // as given, for the report
    sim::ModemFaults faults;
    BoardFaults board_faults;
    std::optional<uint64_t> fsize_limit;  // RLIMIT_FSIZE of the command, in bytes
    std::optional<int64_t> time_limit_us;
    std::optional<uint32_t> thread_limit;
    std::optional<std::string> report_path;  // "-": standard output
    bool com1 = true;                        // dev/COM1 is provided
    bool vei1 = true;                        // dev/VEI1 is provided
    bool wine = false;                       // the command is a Windows program, run under wine
    std::optional<std::string> wine_prefix;  // the Wine prefix; by default ROOT/wine
    bool wine_display = false;               // Wine's display driver left on
    bool help = false;
    bool version = false;
    bool fault_help = false;  // --fault help
    std::vector<std::string> command;
};

extern const char kUsage[];
extern const char kFaultHelp[];  // what --fault help prints

// Parses the arguments after the program's name.  False on a usage error, with the problem in
// *error.  With --help, --version or --fault help the rest may be missing and is not checked.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

}  // namespace vboard
