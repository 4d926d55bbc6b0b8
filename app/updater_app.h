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
    // Runs the update dialog and answers false: the application ends when the dialog does.
    bool InitInstance() override;
};

extern CUpdaterApp theApp;

// HKEY_LOCAL_MACHINE\Drivers\BuiltIn\2440UART0 (AWRCWR, CLK).  On the device it lives from
// program start to exit; here the registry exists only once main has installed the platform,
// so the application's start opens it (before InitInstance) and an atexit handler closes it
// (before theApp is destroyed).  Empty outside that span.
extern std::optional<CRegSettings> g_uartSettings;

// Opens g_uartSettings if it is not open; closes it.  Tests open and close it around a run.
void OpenUartSettings();
void CloseUartSettings();

class ScopedUartSettings {
  public:
    ScopedUartSettings() { OpenUartSettings(); }
    ~ScopedUartSettings() { CloseUartSettings(); }
    ScopedUartSettings(const ScopedUartSettings&) = delete;
    ScopedUartSettings& operator=(const ScopedUartSettings&) = delete;
};

// How long the application waits, after the dialog has ended, for the worker threads that
// still hold it; past that the process ends at once rather than destroy the dialog under them.
constexpr uint32_t kWorkerGraceMs = 5000;
