// The Win32 side of the Linux build's tests of the device root's files shared between the two
// systems (tests/wine):
//   root-peer write-registers PATH COUNT   writes the DVS control word of the register file
//                                          COUNT times (1, 2, ... COUNT)
//   root-peer hold-lock ROOT MILLISECONDS  takes the root's instance lock, says "held" on
//                                          standard output and keeps it that long
// Exit 0 when all went through, 1 otherwise (the reason on standard error), 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/win32/instance_lock.h"
#include "host/win32/register_file.h"

namespace {

int WriteRegisters(const char* path, long count) {
    host::win32::RegisterFile regs(path);
    if (!regs.ok()) {
        std::fprintf(stderr, "root-peer: %s\n", regs.error().c_str());
        return 1;
    }
    for (long i = 1; i <= count; ++i)
        regs.Write32(host::reg::kDvsControl, static_cast<uint32_t>(i));
    if (regs.FailedAccesses() != 0) {
        std::fprintf(stderr, "root-peer: %s\n", regs.LastFailure().c_str());
        return 1;
    }
    return 0;
}

int HoldLock(const char* root, long milliseconds) {
    host::win32::InstanceLock lock;
    std::string error;
    if (!lock.Acquire(root, &error)) {
        std::fprintf(stderr, "root-peer: %s\n", error.c_str());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(milliseconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: root-peer write-registers PATH COUNT | hold-lock ROOT MS\n");
        return 2;
    }
    const long number = std::strtol(argv[3], nullptr, 10);
    if (std::strcmp(argv[1], "write-registers") == 0)
        return WriteRegisters(argv[2], number);
    if (std::strcmp(argv[1], "hold-lock") == 0)
        return HoldLock(argv[2], number);
    std::fprintf(stderr, "root-peer: unknown command %s\n", argv[1]);
    return 2;
}
