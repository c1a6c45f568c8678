#pragma once
// The edge of an operator action: an exception that reaches it becomes the message
// "Error #" & number & ": " & description with the critical icon (when `show`) and a
// line in the error log under `location`. Nothing passes on into Qt's event handling.
#include <exception>
#include <string>
#include <utility>

#include "core/error.h"
#include "log/error_log.h"

namespace corva::station {

// Shows (when `show`) and logs one caught error.
void reportAtEdge(const char* location, bool show, int code, const std::string& text);

// Inside a catch block: logs the exception being handled under `location`, shows nothing.
// An exception that is neither an Error nor a std::exception passes on.
void logCaught(const char* location);

// Runs `action`; true when it finished, false when it threw: then the error's number and
// description go to `report(code, text)` (a foreign exception as errc::Generic).
template <typename F, typename R>
bool catchErrors(F&& action, R&& report) {
    try {
        action();
        return true;
    } catch (const Error& e) {
        report(e.code(), e.message());
    } catch (const std::exception& e) {
        report(errc::Generic, std::string(e.what()));
    } catch (...) {
        report(errc::Generic, std::string("Unknown error"));
    }
    return false;
}

// Runs `action`; true when it finished, false when it threw (reported as above).
template <typename F>
bool catchAtEdge(const char* location, bool show, F&& action) {
    return catchErrors(std::forward<F>(action),
                       [&](int code, const std::string& text) { reportAtEdge(location, show, code, text); });
}

}  // namespace corva::station
