// regtool: reads and changes the registry store of the device root named by UPDATER_ROOT,
// the same store the updater uses.  Safe to run while an update is going on.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "host/debug_log.h"
#include "host/device_root.h"
#include "host/posix/sqlite_registry.h"
#include "tools/common/cli.h"
#include "tools/common/numbers.h"

namespace {

using host::posix::SqliteRegistry;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr const char* kName = "regtool";
constexpr int kBusyWaitMs = 2000;

constexpr const char* kUsage =
    "usage: regtool get KEY NAME          print a value\n"
    "       regtool set KEY NAME dword:N  store a DWORD (the key is created if missing)\n"
    "       regtool set KEY NAME string:TEXT\n"
    "       regtool delete KEY            delete a key with everything below it\n"
    "       regtool dump                  list every key and value\n"
    "       regtool --help | --version\n"
    "\n"
    "KEY is a path below HKEY_LOCAL_MACHINE, such as 'Software\\QZX\\Kelvaro'; a leading\n"
    "'HKEY_LOCAL_MACHINE\\' or 'HKLM\\' is accepted.  Key and value names ignore case.\n"
    "N is decimal, hexadecimal with 0x, or negative down to -2147483648 (-1 is stored as\n"
    "0xFFFFFFFF).  DWORDs always print as unsigned decimal: -1 prints as 4294967295.\n"
    "Strings print as their text; other data as hexadecimal bytes.  get prints the value\n"
    "alone; dump prints NAME = dword:N, string:TEXT or hex(TYPE):BYTES.\n"
    "\n"
    "The store is $UPDATER_ROOT/registry.db.  Only set creates it, and only in a root\n"
    "folder that exists; get, dump and delete need a store that is there.\n"
    "Exit status: 0 done, 1 no such key or value, or the store cannot be used (the reason\n"
    "on standard error), 2 usage error or UPDATER_ROOT not set.\n";

int Failed(const std::string& message) {
    std::fprintf(stderr, "regtool: %s\n", message.c_str());
    return kExitFailed;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

std::wstring KeyPath(std::string key) {
    for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
        if (StartsWithNoCase(key, prefix)) {
            key.erase(0, std::strlen(prefix));
            break;
        }
    }
    return host::Widen(key);
}

std::string FormatData(uint32_t type, const std::vector<uint8_t>& data) {
    if (type == host::kRegDword && data.size() == sizeof(uint32_t)) {
        uint32_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return "dword:" + std::to_string(value);
    }
    if (type == host::kRegSz && data.size() % sizeof(wchar_t) == 0 && !data.empty()) {
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), data.data(), data.size());
        if (text.back() == L'\0') {
            text.pop_back();
            return "string:" + host::Narrow(text);
        }
    }
    std::string hex = "hex(" + std::to_string(type) + "):";
    char byte[3];
    for (uint8_t b : data) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    return hex;
}

int Get(SqliteRegistry& store, const std::string& key, const std::string& name) {
    host::RegKey handle = 0;
    if (store.OpenKey(host::kHkeyLocalMachine, KeyPath(key), &handle) != host::kRegOk)
        return Failed("no key " + key);
    uint32_t type = 0;
    uint32_t size = 0;
    std::wstring wide_name = host::Widen(name);
    long result = store.QueryValue(handle, wide_name, &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (result == host::kRegOk)
        result = store.QueryValue(handle, wide_name, &type, data.data(), &size);
    store.CloseKey(handle);
    if (result != host::kRegOk)
        return Failed("no value " + name + " in " + key);
    data.resize(size);
    std::string text = FormatData(type, data);
    // The value alone, without its type prefix, so that scripts can use it as it is.
    std::printf("%s\n", text.substr(text.find(':') + 1).c_str());
    return kExitOk;
}

int Set(SqliteRegistry& store, const std::string& key, const std::string& name,
        const std::string& value) {
    std::wstring text;
    bool is_dword = value.rfind("dword:", 0) == 0;  // checked by CheckArguments
    uint32_t dword = is_dword ? tools::ParseDword(value.substr(6), true).value_or(0) : 0;
    host::RegKey handle = 0;
    if (store.CreateKey(host::kHkeyLocalMachine, KeyPath(key), &handle) != host::kRegOk)
        return Failed("cannot create key " + key);
    long result = 0;
    if (is_dword) {
        result = store.SetValue(handle, host::Widen(name), host::kRegDword, &dword, sizeof dword);
    } else {
        text = host::Widen(value.substr(7));
        auto size = static_cast<uint32_t>((text.size() + 1) * sizeof(wchar_t));
        result = store.SetValue(handle, host::Widen(name), host::kRegSz, text.c_str(), size);
    }
    store.CloseKey(handle);
    return result == host::kRegOk ? kExitOk : Failed("cannot set " + name + " in " + key);
}

int Delete(SqliteRegistry& store, const std::string& key) {
    long result = store.DeleteKey(host::kHkeyLocalMachine, KeyPath(key));
    if (result == host::kRegNotFound)
        return Failed("no key " + key);
    return result == host::kRegOk ? kExitOk : Failed("cannot delete " + key);
}

// Prints a key's values, indented, then its subkeys with theirs, depth first.
bool DumpKey(SqliteRegistry& store, host::RegKey handle, const std::string& path) {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    for (uint32_t i = 0; store.EnumValue(handle, i, &name, &type, &data) == host::kRegOk; ++i) {
        if (i == 0 && path.empty())
            std::printf("HKEY_LOCAL_MACHINE\n");
        std::printf("    %s = %s\n", host::Narrow(name).c_str(), FormatData(type, data).c_str());
    }
    std::vector<wchar_t> child(256);
    for (uint32_t i = 0;; ++i) {
        auto chars = static_cast<uint32_t>(child.size());
        long result = store.EnumKey(handle, i, child.data(), &chars);
        if (result == host::kRegMoreData && child.size() < 65536) {
            child.resize(child.size() * 4);
            --i;
            continue;
        }
        if (result == host::kRegNoMoreItems)
            return true;
        if (result != host::kRegOk)
            return false;
        std::string child_path = (path.empty() ? "" : path + "\\") + host::Narrow(child.data());
        std::printf("%s\n", child_path.c_str());
        host::RegKey sub = 0;
        if (store.OpenKey(handle, child.data(), &sub) != host::kRegOk)
            return false;
        bool dumped = DumpKey(store, sub, child_path);
        store.CloseKey(sub);
        if (!dumped)
            return false;
    }
}

int Dump(SqliteRegistry& store) {
    return DumpKey(store, host::kHkeyLocalMachine, "") ? kExitOk : Failed("cannot read the store");
}

// What a command needs of the store: reading never creates one, and only a set may lay out
// a new one (in a device root that exists).
enum class Access { kRead, kWrite, kCreate };

struct Command {
    std::string_view name;
    std::vector<std::string_view> operands;
    Access access;
};

const Command kCommands[] = {
    {"get", {"KEY", "NAME"}, Access::kRead},
    {"set", {"KEY", "NAME", "VALUE"}, Access::kCreate},
    {"delete", {"KEY"}, Access::kWrite},
    {"dump", {}, Access::kRead},
};

// Checks the command line before anything else: the command, or the usage error.
const Command* CheckArguments(const std::vector<std::string>& args, std::string* problem) {
    if (args.empty()) {
        *problem = "no command given";
        return nullptr;
    }
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                       [&](const Command& c) { return c.name == args[0]; });
    if (command == std::end(kCommands)) {
        *problem =
            (args[0].rfind('-', 0) == 0 ? "unknown option '" : "unknown command '") + args[0] + "'";
        return nullptr;
    }
    const size_t given = args.size() - 1;
    if (given < command->operands.size()) {
        *problem = args[0] + ": missing operand " + std::string(command->operands[given]);
        return nullptr;
    }
    if (given > command->operands.size()) {
        *problem = args[0] + ": extra argument '" + args[command->operands.size() + 1] + "'";
        return nullptr;
    }
    if (command->name == "set" && args[3].rfind("string:", 0) != 0 &&
        !(args[3].rfind("dword:", 0) == 0 && tools::ParseDword(args[3].substr(6), true))) {
        *problem = tools::BadNumber("VALUE", args[3], "dword:N (a 32-bit number) or string:TEXT");
        return nullptr;
    }
    return command;
}

SqliteRegistry::OpenMode ModeFor(Access access) {
    switch (access) {
        case Access::kRead:
            return SqliteRegistry::OpenMode::kReadOnly;
        case Access::kWrite:
            return SqliteRegistry::OpenMode::kExisting;
        case Access::kCreate:
            break;
    }
    return SqliteRegistry::OpenMode::kCreate;
}

int Run(SqliteRegistry& store, const std::vector<std::string>& args) {
    const std::string& command = args[0];
    if (command == "get")
        return Get(store, args[1], args[2]);
    if (command == "set")
        return Set(store, args[1], args[2], args[3]);
    if (command == "delete")
        return Delete(store, args[1]);
    return Dump(store);
}

// What was printed must have reached standard output for a script to rely on it.
int Finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "regtool: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return kExitFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tools::AnswerHelpOrVersion(argc, argv, kName, kUsage, std::cout))
        return *answered;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "help") {  // the older spelling of --help
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    std::string problem;
    const Command* command = CheckArguments(args, &problem);
    if (command == nullptr)
        return tools::UsageError(kName, problem, std::cerr);
    auto root = host::RootFromEnvironment();
    if (!root) {
        std::fprintf(stderr,
                     "regtool: %s is not set.  Set it to the device root folder that holds "
                     "registry.db, for example:\n  export %s=/path/to/device-root\n",
                     host::kRootVariable, host::kRootVariable);
        return tools::kExitUsage;
    }
    SqliteRegistry store(host::RegistryPath(*root), ModeFor(command->access));
    if (!store.ok())
        return Failed(store.error());
    // A person at the shell can wait for an update's write to pass.
    store.SetBusyTimeout(kBusyWaitMs);
    return Finish(Run(store, args));
}
