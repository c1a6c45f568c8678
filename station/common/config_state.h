#pragma once
// What the options window and the tag dictionary hand to the main window: the flags
// it reads when the options window closes, the default destination and the filter
// the header view shows. One instance for the program; user-interface thread only.
#include <map>
#include <optional>
#include <string>

#include "dicom/tls.h"

namespace corva::station {

struct DestinationAddress {
    std::string aet;
    std::string ip;
    std::string port;
    std::optional<dicom::TlsFiles> tls = std::nullopt;  // sent over TLS with these files
    bool empty() const { return aet.empty() && ip.empty() && port.empty(); }
};

struct ConfigState {
    // Set when a storage destination was stored or deleted: the send-to menus are rebuilt.
    bool destinationsChanged = false;
    // Set when attributes were added to a filter: the header view is reloaded.
    bool filterChanged = false;
    // The filter shown in the options window's filter box; kept for the whole run.
    std::string selectedFilter;
    // The active filter's attributes: tag text ("0010,0010") to description.
    std::map<std::string, std::string> activeTagSet;
    // The destination the forwarding commands and the toolbar send to.
    DestinationAddress defaultDestination;
};

ConfigState& configState();

}  // namespace corva::station
