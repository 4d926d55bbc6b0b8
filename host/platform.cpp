// The installed service table and its accessors.
#include "host/platform.h"

#include <cstdio>
#include <cstdlib>

#include "host/frontend.h"

namespace host {
namespace {

Platform g_platform;

template <typename T>
T& Require(T* service, const char* name) {
    if (service == nullptr) {
        std::fprintf(stderr, "host: no %s service installed\n", name);
        std::abort();
    }
    return *service;
}

}  // namespace

const Platform& Current() {
    return g_platform;
}
Clock& CurrentClock() {
    return Require(g_platform.clock, "clock");
}
LogSink& CurrentLog() {
    return Require(g_platform.log, "debug output");
}
Resources& CurrentResources() {
    return Require(g_platform.resources, "resource");
}
SerialPorts& CurrentSerial() {
    return Require(g_platform.serial, "serial");
}
Registry& CurrentRegistry() {
    return Require(g_platform.registry, "registry");
}
RegisterBus& CurrentBoard() {
    return Require(g_platform.board, "register bus");
}
PowerManager& CurrentPower() {
    return Require(g_platform.power, "power manager");
}
Ui& CurrentUi() {
    return Require<Ui>(g_platform.ui, "user interface");
}
Radio& CurrentRadio() {
    return Require(g_platform.radio, "radio");
}

void Install(const Platform& platform) {
    g_platform = platform;
}

ScopedPlatform::ScopedPlatform(const Platform& platform) : previous_(g_platform) {
    g_platform = platform;
}

ScopedPlatform::~ScopedPlatform() {
    g_platform = previous_;
}

}  // namespace host
