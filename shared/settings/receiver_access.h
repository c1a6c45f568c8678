#pragma once
// Who may store images at the receiver Recvora, in the settings store beside its title
// and port. Recvora reads them at its start; the options window edits them. Empty
// values keep a site as it was: every calling AE title, every address, every interface.
namespace corva::settings {

// Calling AE titles allowed to associate, separated by commas; empty: every title.
inline constexpr const char* ReceiverAllowedAeTitles = "Com\\IR_AllowedAETs";
// IPv4 addresses ("10.1.2.3") or ranges ("10.1.2.0/24") allowed to associate,
// separated by commas; empty: every address.
inline constexpr const char* ReceiverAllowedHosts = "Com\\IR_AllowedHosts";
// The one local IPv4 address to listen on; empty: every interface.
inline constexpr const char* ReceiverListenAddress = "Com\\IR_ListenAddress";

}  // namespace corva::settings
