// Writes the DVS control word of a register file COUNT times (1, 2, ... COUNT) through the
// Win32 register file: the far side of the Linux build's test that the two systems' locks on
// the file exclude each other.  Usage: register-writer PATH COUNT.  Exit 0 when every write went
// through, 1 otherwise (the reason on standard error).
#include <cstdio>
#include <cstdlib>

#include "host/win32/register_file.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: register-writer PATH COUNT\n");
        return 2;
    }
    host::win32::RegisterFile regs(argv[1]);
    if (!regs.ok()) {
        std::fprintf(stderr, "register-writer: %s\n", regs.error().c_str());
        return 1;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    for (long i = 1; i <= count; ++i)
        regs.Write32(host::reg::kDvsControl, static_cast<uint32_t>(i));
    if (regs.FailedAccesses() != 0) {
        std::fprintf(stderr, "register-writer: %s\n", regs.LastFailure().c_str());
        return 1;
    }
    return 0;
}
