#include "common/edge.h"

#include <QString>

#include "common/operator_seam.h"

namespace corva::station {

void reportAtEdge(const char* location, bool show, int code, const std::string& text) {
    if (show) showError(code, QString::fromStdString(text));
    log::LogError(code, text, location);
}

}  // namespace corva::station
