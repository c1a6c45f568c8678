#pragma once
// What the last forwarding asked for: after "Automatic" every image of the list is
// forwarded, after "Manually" the selected one; the clean-up after sending and the
// dose list's refresh follow it.
namespace corva::station {

enum class ForwardingMode {
    None = 0,
    Automatic = 1,  // every image of the list
    Manual = 2,     // the selected image (also: the dose list is deleted)
};

}  // namespace corva::station
