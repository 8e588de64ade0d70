#pragma once

// handheld-sim serve: emulated handhelds on the Remote API wire, behind a stand-in for SynCE's
// connection manager on the D-Bus system bus.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "RapiWire.h"

namespace wire {

// One handheld to serve. Its name, OS version and password come from its settings (.handheld at
// its root), read each time it is plugged in; name and os given here take their place.
struct ServedHandheld {
    std::string root;  // the handheld's root folder
    std::optional<OsVersion> os;
    std::optional<std::string> name;
};

struct ServeOptions {
    std::vector<ServedHandheld> handhelds;
};

// Owns org.synce.dccm on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the real one) and serves
// until SIGTERM or SIGINT: status 0. Status 1 with the reason in error (one line) when the bus
// can't be reached, the name is taken or two handhelds go by one name. status gets one line
// once the service is up.
int Serve(const ServeOptions& options, std::ostream& status, std::string& error);

}  // namespace wire
