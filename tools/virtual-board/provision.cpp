// Provisioning of the device root.
#include "tools/virtual-board/provision.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "host/device_root.h"
#include "host/store_radio.h"
#include "host/posix/register_file.h"
#include "host/posix/sqlite_registry.h"
#include "host/radio.h"

namespace vboard {
namespace fs = std::filesystem;
namespace {

// The order a board loads them in: the bus, the multiplexer and its channels, the radio
// interface layer; the backlight and the UART are there as on any board.
const std::vector<BoardDriver> kDrivers = {
    {L"01", L"BKL1:", 0x0040, false}, {L"02", L"COM1:", 0x0080, false},
    {L"03", L"SPI2:", 0x00C0, true},  {L"04", L"MUX1:", 0x0100, true},
    {L"05", L"VEI1:", 0x0140, true},  {L"06", L"VEI2:", 0x0180, true},
    {L"07", L"VEI3:", 0x01C0, true},  {L"08", L"VEI4:", 0x0200, true},
    {L"09", L"VEI5:", 0x0240, true},  {L"10", L"RIL1:", 0x0280, true},
};

bool Remove(const fs::path& path, std::string* error) {
    std::error_code failure;
    fs::remove(path, failure);
    if (failure) {
        *error = "cannot remove " + path.string() + ": " + failure.message();
        return false;
    }
    return true;
}

// What a run leaves in the root, so that nothing of an earlier run shows in this one.
bool ClearRoot(const std::string& root, std::string* error) {
    const std::string registry = host::RegistryPath(root);
    for (const std::string& file :
         {registry, registry + "-wal", registry + "-shm", host::RegisterFilePath(root),
          host::PowerLogPath(root), host::DebugLogPath(root)}) {
        if (!Remove(file, error))
            return false;
    }
    for (const BoardDriver& driver : kDrivers) {
        if (auto path = host::DevicePath(root, driver.name); path && !Remove(*path, error))
            return false;
    }
    return true;
}

bool SetDword(host::Registry& registry, const wchar_t* key_path, const wchar_t* name,
              uint32_t value) {
    host::RegKey key = 0;
    if (registry.CreateKey(host::kHkeyLocalMachine, key_path, &key) != host::kRegOk)
        return false;
    const bool ok =
        registry.SetValue(key, name, host::kRegDword, &value, sizeof value) == host::kRegOk;
    registry.CloseKey(key);
    return ok;
}

bool CreateKey(host::Registry& registry, const wchar_t* key_path) {
    host::RegKey key = 0;
    if (registry.CreateKey(host::kHkeyLocalMachine, key_path, &key) != host::kRegOk)
        return false;
    registry.CloseKey(key);
    return true;
}

bool FillRegistry(host::Registry& registry, const BoardSetup& setup) {
    bool ok = SetDword(registry, kUartKey, L"AWRCWR", kInitialAwrcwr) &&
              SetDword(registry, kUartKey, L"CLK", kInitialClk) &&
              CreateKey(registry, kSettingsKey) &&
              SetDword(registry, host::kPhoneStateKey, host::kPhoneRadioValue,
                       host::kRadioStateOn);
    if (ok && setup.device_name)
        ok = SetDword(registry, kSettingsKey, L"DeviceName", *setup.device_name);
    if (ok && setup.reboot)
        ok = SetDword(registry, kSettingsKey, L"Reboot", *setup.reboot);
    for (const BoardDriver& driver : kDrivers) {
        if (ok)
            ok = host::RegisterActiveDriver(registry, driver.subkey, driver.name, driver.handle);
    }
    return ok;
}

}  // namespace

const std::vector<BoardDriver>& BoardDrivers() {
    return kDrivers;
}

RootFolder::~RootFolder() {
    Remove();
}

bool RootFolder::Remove() {
    if (!temporary_ || path_.empty())
        return false;
    std::error_code failure;
    fs::remove_all(path_, failure);
    if (failure)
        return false;
    path_.clear();
    return true;
}

namespace {

std::string TemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

std::optional<std::string> KeepDebugLog(const std::string& root, std::string* error) {
    const std::string log = host::DebugLogPath(root);
    std::error_code failure;
    if (!fs::is_regular_file(fs::symlink_status(log, failure))) {
        *error = "it wrote no debug log";
        return std::nullopt;
    }
    std::string copy = TemporaryFolder() + "/virtual-board-debug.XXXXXX.log";
    const int fd = mkstemps(copy.data(), 4);
    if (fd < 0) {
        *error = "its debug log cannot be kept: cannot make " + copy + ": " + std::strerror(errno);
        return std::nullopt;
    }
    close(fd);
    fs::copy_file(log, copy, fs::copy_options::overwrite_existing, failure);
    if (failure) {
        *error = "its debug log cannot be kept: cannot copy " + log + " to " + copy + ": " +
                 failure.message();
        fs::remove(copy, failure);
        return std::nullopt;
    }
    return copy;
}

bool RootFolder::Prepare(const std::optional<std::string>& path, std::string* error) {
    if (path) {
        std::error_code failure;
        fs::create_directories(*path, failure);
        if (failure) {
            *error = "cannot make " + *path + ": " + failure.message();
            return false;
        }
        path_ = fs::absolute(*path).lexically_normal().string();
        if (path_.size() > 1 && path_.back() == '/')
            path_.pop_back();
        return true;
    }
    std::string pattern = TemporaryFolder() + "/virtual-board.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot make a temporary root " + pattern + ": " + std::strerror(errno);
        return false;
    }
    path_ = pattern;
    temporary_ = true;
    return true;
}

bool ProvisionRoot(const std::string& root, const BoardSetup& setup, std::string* error) {
    std::error_code failure;
    fs::create_directories(root + "/dev", failure);
    if (failure) {
        *error = "cannot make " + root + "/dev: " + failure.message();
        return false;
    }
    if (!ClearRoot(root, error))
        return false;
    {
        host::posix::SqliteRegistry registry(host::RegistryPath(root));
        if (!registry.ok()) {
            *error = "registry store: " + registry.error();
            return false;
        }
        if (!FillRegistry(registry, setup)) {
            *error = "cannot fill the registry store " + host::RegistryPath(root);
            return false;
        }
    }
    host::posix::RegisterFile registers(host::RegisterFilePath(root));
    if (!registers.ok()) {
        *error = "register file: " + registers.error();
        return false;
    }
    return true;
}

bool ReuseRoot(const std::string& root, std::string* error) {
    for (const std::string& kept :
         {host::RegistryPath(root), host::RegisterFilePath(root)}) {
        std::error_code failure;
        if (!fs::is_regular_file(fs::symlink_status(kept, failure))) {
            *error = "--reuse: " + kept + " is not there to keep";
            return false;
        }
    }
    for (const BoardDriver& driver : kDrivers) {
        if (auto path = host::DevicePath(root, driver.name); path && !Remove(*path, error))
            return false;
    }
    return Remove(host::PowerLogPath(root), error);
}

bool LinkDevice(const std::string& root, const std::string& name, const std::string& target,
                std::string* error) {
    const fs::path link = fs::path(root) / "dev" / name;
    std::error_code failure;
    fs::remove(link, failure);
    fs::create_symlink(target, link, failure);
    if (failure) {
        *error = "cannot link " + link.string() + " to " + target + ": " + failure.message();
        return false;
    }
    return true;
}

}  // namespace vboard

namespace vboard {

void UnlinkDevice(const std::string& root, const std::string& name, const std::string& target) {
    const fs::path link = fs::path(root) / "dev" / name;
    std::error_code failure;
    if (fs::is_symlink(fs::symlink_status(link, failure)) &&
        fs::read_symlink(link, failure) == target && !failure)
        fs::remove(link, failure);
}

}  // namespace vboard
