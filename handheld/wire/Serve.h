#pragma once

// handheld-sim serve: the emulated handheld on the Remote API wire, behind a stand-in for
// SynCE's connection manager on the D-Bus system bus.

#include <iosfwd>
#include <string>

#include "RapiWire.h"

namespace wire {

struct ServeOptions {
    std::string root;  // the handheld's root folder
    OsVersion os;
    std::string name = "Emulated handheld";
};

// Owns org.synce.dccm on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the real one) and serves
// until SIGTERM or SIGINT: status 0. Status 1 with the reason in error (one line) when the bus
// can't be reached or the name is taken. status gets one line once the service is up.
int Serve(const ServeOptions& options, std::ostream& status, std::string& error);

}  // namespace wire
