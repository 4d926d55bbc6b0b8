// Paths inside the device root.
#include "host/device_root.h"

#include <cstdlib>

#include "host/debug_log.h"

namespace host {

std::optional<std::string> RootFromEnvironment() {
    const char* root = std::getenv(kRootVariable);
    if (root == nullptr || *root == '\0')
        return std::nullopt;
    return std::string(root);
}

std::optional<std::string> DevicePath(const std::string& root, const std::wstring& name) {
    std::string base = Narrow(name);
    if (!base.empty() && base.back() == ':')
        base.pop_back();
    if (base.empty() || base.find('/') != std::string::npos ||
        base.find("..") != std::string::npos) {
        return std::nullopt;
    }
    return root + "/dev/" + base;
}

std::string RegistryPath(const std::string& root) {
    return root + "/registry.db";
}
std::string RegisterFilePath(const std::string& root) {
    return root + "/board.regs";
}
std::string PowerLogPath(const std::string& root) {
    return root + "/power.log";
}
std::string DebugLogPath(const std::string& root) {
    return root + "/debug.log";
}
std::string LockFilePath(const std::string& root) {
    return root + "/updater.lock";
}
std::string ModemLinesPath(const std::string& root) {
    return root + "/modem-lines.conf";
}

}  // namespace host
