// The updater's executable: the application object run on the host with the firmware images
// embedded in it.
#include "app/updater_app.h"
#include "host/posix/host_main.h"
#include "res/embedded_resources.h"

int main(int argc, char** argv) {
    res::EmbeddedResources resources;
    return host::posix::RunOnHost(theApp, resources, argc, argv);
}
