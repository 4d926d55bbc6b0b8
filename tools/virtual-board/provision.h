// The device root of a virtual board run: the folder, and what the board provides in it before
// the updater starts (see host/device_root.h for the layout).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// The UART0 driver's values as the board starts them: not the updater's, so that the report
// shows what the updater wrote.
constexpr uint32_t kInitialAwrcwr = 3;
constexpr uint32_t kInitialClk = 0;

constexpr const wchar_t* kUartKey = L"Drivers\\BuiltIn\\2440UART0";
constexpr const wchar_t* kSettingsKey = L"Software\\QZX\\Kelvaro";

// A loaded driver of the board, as listed under Drivers\Active.
struct BoardDriver {
    const wchar_t* subkey;
    const wchar_t* name;
    uint32_t handle;
    bool radio;  // part of the radio stack that the updater takes off the modem
};
const std::vector<BoardDriver>& BoardDrivers();

struct BoardSetup {
    std::optional<uint32_t> device_name;
    std::optional<uint32_t> reboot;
};

// The root folder: a temporary one (removed with the object) or a named one (kept).
class RootFolder {
  public:
    RootFolder() = default;
    ~RootFolder();
    RootFolder(const RootFolder&) = delete;
    RootFolder& operator=(const RootFolder&) = delete;

    // Makes the folder, or a temporary one when no path is given.
    bool Prepare(const std::optional<std::string>& path, std::string* error);
    const std::string& path() const { return path_; }
    bool temporary() const { return temporary_; }
    // Removes a temporary folder now rather than with the object; true when it is gone.
    bool Remove();

  private:
    std::string path_;
    bool temporary_ = false;
};

// Copies ROOT's debug log out of a root that is about to go, to
// $TMPDIR/virtual-board-debug.XXXXXX.log (or /tmp/...): the copy's path, or nothing with what
// to tell in *error ("it wrote no debug log", "its debug log cannot be kept: ...").
std::optional<std::string> KeepDebugLog(const std::string& root, std::string* error);

// Clears what an earlier run left (logs, stores, device links) and makes the board's state
// afresh: the registry store, a zeroed register file and the dev folder.
bool ProvisionRoot(const std::string& root, const BoardSetup& setup, std::string* error);

// Makes ready a root that an earlier run left, keeping its registry store and register file
// as they are (a run killed half way leaves them as it left the board) and its debug log; the
// power log is cleared, since the power manager's requests end with the process that made
// them.  Fails when there is no store or register file to keep.
bool ReuseRoot(const std::string& root, std::string* error);

// ROOT/dev/NAME as a symbolic link to target.
bool LinkDevice(const std::string& root, const std::string& name, const std::string& target,
                std::string* error);

// Removes ROOT/dev/NAME if it is still the link to target: its pseudo-terminal ends with the
// run, and a later opener must not reach whatever terminal takes its number next.
void UnlinkDevice(const std::string& root, const std::string& name, const std::string& target);

}  // namespace vboard
