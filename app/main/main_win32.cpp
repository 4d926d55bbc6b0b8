// The updater's executable on Windows: the application object run with the firmware images
// that the executable carries as its own resources.
#include "app/updater_app.h"
#include "host/win32/host_main.h"
#include "host/win32/module_resources.h"

int wmain(int argc, wchar_t** argv) {
    host::win32::ModuleResources resources;
    return host::win32::RunOnHost(theApp, resources, argc, argv);
}
