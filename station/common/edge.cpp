#include "common/edge.h"

#include <QString>

#include "common/operator_seam.h"

namespace corva::station {

void reportAtEdge(const char* location, bool show, int code, const std::string& text) {
    if (show) showError(code, QString::fromStdString(text));
    log::LogError(code, text, location);
}

void logCaught(const char* location) {
    try {
        throw;
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), location);
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), location);
    }
}

}  // namespace corva::station
