// The modem's lines on the open port, and the wiring's settings file.
#include "host/posix/modem_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/debug_log.h"

namespace host::posix {

PosixModemLines::PosixModemLines(PosixSerialPorts& ports, std::wstring device,
                                 const ModemWiring& wiring)
    : ports_(ports), device_(std::move(device)), wired_(wiring.Any()) {
    for (const std::optional<WiredLine>& wired : {wiring.power_key, wiring.reset}) {
        if (wired)
            ports_.OwnLine(device_, wired->line, wired->AssertedFor(false));
    }
}

bool PosixModemLines::Usable(const std::string& settings, std::string* why) {
    const std::optional<std::string> refused = wired_ ? ports_.CheckLines(device_) : std::nullopt;
    if (refused)
        *why = settings + " wires the modem to " + Narrow(device_) + ", but " + *refused;
    return !refused;
}

bool PosixModemLines::Set(ModemLine line, bool asserted, std::string* why) {
    return ports_.SetLine(device_, line, asserted, why);
}

namespace {

// The file's text, at most one byte over the limit (enough for the parser to refuse it).
bool ReadSmallFile(int fd, std::string* text) {
    char buffer[kModemWiringMaxBytes + 1];
    size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text->assign(buffer, got);
    return true;
}

}  // namespace

std::optional<ModemWiring> LoadModemWiring(const std::string& path, std::string* why) {
    // Non-blocking: a fifo planted in the root must not hang the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return ModemWiring{};
    if (fd < 0) {
        *why = path + ": " +
               (errno == ELOOP ? std::string("is a symbolic link") : std::strerror(errno));
        return std::nullopt;
    }
    std::string text;
    const bool read = ReadSmallFile(fd, &text);
    const int error = errno;
    ::close(fd);
    if (!read) {
        *why = path + ": " + std::strerror(error);
        return std::nullopt;
    }
    std::string problem;
    std::optional<ModemWiring> wiring = ParseModemWiring(text, &problem);
    if (!wiring)
        *why = path + ": " + problem;
    return wiring;
}

}  // namespace host::posix
