#pragma once
// The edge of an operator action: an exception that reaches it becomes the message
// "Error #" & number & ": " & description with the critical icon (when `show`) and a
// line in the error log under `location`. Nothing passes on into Qt's event handling.
#include <exception>
#include <string>

#include "core/error.h"
#include "log/error_log.h"

namespace corva::station {

// Shows (when `show`) and logs one caught error.
void reportAtEdge(const char* location, bool show, int code, const std::string& text);

// Runs `action`; true when it finished, false when it threw (reported as above).
template <typename F>
bool catchAtEdge(const char* location, bool show, F&& action) {
    try {
        action();
        return true;
    } catch (const Error& e) {
        reportAtEdge(location, show, e.code(), e.message());
    } catch (const std::exception& e) {
        reportAtEdge(location, show, errc::Generic, e.what());
    } catch (...) {
        reportAtEdge(location, show, errc::Generic, "Unknown error");
    }
    return false;
}

}  // namespace corva::station
