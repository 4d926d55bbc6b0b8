// The host layer's one named place: every service the updater asks of the board's operating
// system is reached through the table installed here.  Production installs the real
// implementations at start-up; a test installs simulated ones (and may make any of them fail).
// Nothing in this header may name a POSIX, Win32 or ncurses type.
#pragma once

namespace host {

class Clock;
class LogSink;
class Resources;
class SerialPorts;
class Registry;
class RegisterBus;
class PowerManager;
class FrontEnd;
class Ui;
class Radio;

struct Platform {
    Clock* clock = nullptr;
    LogSink* log = nullptr;
    Resources* resources = nullptr;
    SerialPorts* serial = nullptr;
    Registry* registry = nullptr;
    RegisterBus* board = nullptr;
    PowerManager* power = nullptr;
    // Shows the dialog, message boxes and beeps (host/frontend.h); the platform's wrappers
    // reach it as a plain Ui.
    FrontEnd* ui = nullptr;
    Radio* radio = nullptr;
};

// The installed table.  Asking for a service that was not installed is a programming error and
// aborts with the service's name.
const Platform& Current();
Clock& CurrentClock();
LogSink& CurrentLog();
Resources& CurrentResources();
SerialPorts& CurrentSerial();
Registry& CurrentRegistry();
RegisterBus& CurrentBoard();
PowerManager& CurrentPower();
Ui& CurrentUi();
Radio& CurrentRadio();

void Install(const Platform& platform);

// Installs a table for the life of a scope and puts the previous one back afterwards.
class ScopedPlatform {
  public:
    explicit ScopedPlatform(const Platform& platform);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

  private:
    Platform previous_;
};

}  // namespace host
