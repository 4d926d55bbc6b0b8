// The application object and the UART driver's settings key, the program's two long-lived
// objects besides the dialog.
#pragma once

#include <cstdint>
#include <optional>

#include "host/framework.h"
#include "platform/reg_settings.h"

class CUpdaterApp : public host::CWinApp {
  public:
    CUpdaterApp();
    ~CUpdaterApp() override;
    // The base's run with the UART settings key open around it.
    int Run() override;
    // Runs the update dialog and answers false: the application ends when the dialog does.
    bool InitInstance() override;
};

extern CUpdaterApp theApp;

// HKEY_LOCAL_MACHINE\Drivers\BuiltIn\2440UART0 (AWRCWR, CLK).  On the device it lives from
// program start to exit; here the registry exists only once main has installed the platform,
// so the application's run holds it open (CUpdaterApp::Run), from before InitInstance to after
// ExitInstance.  Empty outside that span.
extern std::optional<CRegSettings> g_uartSettings;

// Holds g_uartSettings open for the life of a scope, unless it is open already (a test that
// opened it around a run): only the scope that opened the key closes it, however the scope is
// left.  The platform must stay installed until the scope ends.
class ScopedUartSettings {
  public:
    ScopedUartSettings();
    ~ScopedUartSettings();
    ScopedUartSettings(const ScopedUartSettings&) = delete;
    ScopedUartSettings& operator=(const ScopedUartSettings&) = delete;

  private:
    bool opened_ = false;
};

// How long the application waits, after the dialog has ended, for the worker threads that
// still hold it; past that the process ends at once rather than destroy the dialog under them.
constexpr uint32_t kWorkerGraceMs = 5000;
