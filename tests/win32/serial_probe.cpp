// Drives Win32SerialPorts from a script, for tests that hold the far end of the port (a
// pseudo-terminal) on the other side of Wine.  One operation a line on standard input (or one
// per command-line argument), one result line each on standard output, flushed at once so that
// the far end can follow:
//   open NAME          -> "open ok" | "open error CODE REASON"   (pushes the port on a stack)
//   state BAUD         -> "state ok" | "state failed"            (raw 8N1, DTR and RTS on)
//   getstate           -> "getstate BAUD FLAGS SIZE PARITY STOP" (FLAGS in hex)
//   timeouts R W       -> "timeouts ok" | "timeouts failed"
//   read N             -> "read ok|failed COUNT MS HEX"          (MS: the call's wall time)
//   write HEX          -> "write ok|failed COUNT MS"
//   closein MS         -> "closein armed": another thread closes the top port MS ms later
//   close              -> "close ok" | "close failed"            (pops the port)
//   own DTR|RTS 0|1    -> "own ok": the line of "COM1:" goes to the wiring, idling at 0|1
//   line DTR|RTS 0|1   -> "line ok" | "line failed REASON"       (the line of "COM1:")
//   sleep MS           -> "sleep ok"
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.h"
#include "host/real_clock.h"
#include "host/serial.h"
#include "host/win32/serial_win32.h"

namespace {

using Steady = std::chrono::steady_clock;

long long MsSince(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out.empty() ? "-" : out;
}

std::vector<uint8_t> Unhex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

class Probe {
  public:
    ~Probe() {
        if (closer_.joinable())
            closer_.join();
    }

    std::string Run(const std::string& line) {
        std::istringstream in(line);
        std::string op;
        in >> op;
        if (op == "open")
            return Open(in);
        if (op == "state")
            return State(in);
        if (op == "getstate")
            return GetState();
        if (op == "timeouts")
            return Timeouts(in);
        if (op == "read")
            return Read(in);
        if (op == "write")
            return Write(in);
        if (op == "closein")
            return CloseIn(in);
        if (op == "close")
            return Close();
        if (op == "own" || op == "line")
            return Line(op, in);
        if (op == "sleep") {
            uint32_t ms = 0;
            in >> ms;
            Sleep(ms);
            return "sleep ok";
        }
        return "unknown " + op;
    }

  private:
    host::SerialHandle Top() const { return stack_.empty() ? host::kInvalidSerial : stack_.back(); }
    static const char* Ok(bool ok) { return ok ? "ok" : "failed"; }

    std::string Open(std::istringstream& in) {
        std::string name;
        in >> name;
        uint32_t error = 0;
        const host::SerialHandle port = ports_.Open(std::wstring(name.begin(), name.end()), &error);
        if (port == host::kInvalidSerial)
            return "open error " + std::to_string(error) + " " + ports_.LastOpenFailure();
        stack_.push_back(port);
        return "open ok";
    }

    std::string State(std::istringstream& in) {
        host::SerialState state;
        in >> state.baud;
        state.flags = host::serial_flags::kBinary | (1u << host::serial_flags::kDtrControlShift) |
                      (1u << host::serial_flags::kRtsControlShift);
        return std::string("state ") + Ok(ports_.SetState(Top(), state));
    }

    std::string GetState() {
        host::SerialState state;
        if (!ports_.GetState(Top(), &state))
            return "getstate failed";
        char text[96];
        std::snprintf(text, sizeof text, "getstate %u %x %u %u %u", state.baud, state.flags,
                      state.byte_size, state.parity, state.stop_bits);
        return text;
    }

    std::string Timeouts(std::istringstream& in) {
        host::SerialTimeouts timeouts;
        timeouts.read_interval_ms = 0xFFFFFFFF;
        in >> timeouts.read_constant_ms >> timeouts.write_constant_ms;
        return std::string("timeouts ") + Ok(ports_.SetTimeouts(Top(), timeouts));
    }

    std::string Read(std::istringstream& in) {
        uint32_t count = 0;
        in >> count;
        std::vector<uint8_t> buffer(count);
        uint32_t got = 0;
        const auto start = Steady::now();
        const bool ok = ports_.Read(Top(), buffer.data(), count, &got);
        return std::string("read ") + Ok(ok) + " " + std::to_string(got) + " " +
               std::to_string(MsSince(start)) + " " + Hex(buffer.data(), got);
    }

    std::string Write(std::istringstream& in) {
        std::string hex;
        in >> hex;
        const std::vector<uint8_t> bytes = Unhex(hex);
        uint32_t written = 0;
        const auto start = Steady::now();
        const bool ok =
            ports_.Write(Top(), bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
        return std::string("write ") + Ok(ok) + " " + std::to_string(written) + " " +
               std::to_string(MsSince(start));
    }

    std::string Line(const std::string& op, std::istringstream& in) {
        std::string name;
        int level = 0;
        in >> name >> level;
        const host::ModemLine line = name == "RTS" ? host::ModemLine::kRts : host::ModemLine::kDtr;
        if (op == "own") {
            ports_.OwnLine(L"COM1:", line, level != 0);
            return "own ok";
        }
        std::string why;
        return ports_.SetLine(L"COM1:", line, level != 0, &why) ? "line ok" : "line failed " + why;
    }

    std::string CloseIn(std::istringstream& in) {
        uint32_t ms = 0;
        in >> ms;
        if (closer_.joinable())
            closer_.join();
        const host::SerialHandle port = Top();
        closer_ = std::thread([this, port, ms] {
            Sleep(ms);
            ports_.Close(port);
        });
        return "closein armed";
    }

    std::string Close() {
        const bool ok = ports_.Close(Top());
        if (!stack_.empty())
            stack_.pop_back();
        return std::string("close ") + Ok(ok);
    }

    host::win32::Win32SerialPorts ports_;
    std::vector<host::SerialHandle> stack_;
    std::thread closer_;
};

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // one "\n" a line, as the far end reads it
    host::RealClock clock;
    host::ScopedPlatform platform(host::Platform{.clock = &clock, .serial = nullptr});
    Probe probe;
    auto answer = [&](const std::string& line) {
        std::cout << probe.Run(line) << "\n" << std::flush;
    };
    for (int i = 1; i < argc; ++i)
        answer(argv[i]);
    if (argc > 1)
        return 0;
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            answer(line);
    }
    return 0;
}
