#pragma once
// The edge of the configuration windows' handlers: an error that reaches it is shown
// in the form the handler uses ("Error #5: ...", "Fehler #5 ...", or a fixed text after
// the number) and logged under the handler's location. The program goes on.
#include <QString>
#include <string>
#include <utility>

#include "common/edge.h"
#include "common/operator_seam.h"
#include "core/error.h"
#include "log/error_log.h"

namespace corva::config {

struct ErrorForm {
    bool show = true;
    QString prefix = QStringLiteral("Error #");
    QString separator = QStringLiteral(": ");
    station::MsgIcon icon = station::MsgIcon::Critical;
    QString fixedText;  // shown instead of the description when not empty
};

inline ErrorForm logOnly() {
    ErrorForm f;
    f.show = false;
    return f;
}

inline ErrorForm shownAs(const QString& prefix, const QString& separator, station::MsgIcon icon,
                         const QString& fixedText = {}) {
    ErrorForm f;
    f.prefix = prefix;
    f.separator = separator;
    f.icon = icon;
    f.fixedText = fixedText;
    return f;
}

inline void reportError(const char* location, const ErrorForm& form, int code, const std::string& text) {
    if (form.show) {
        const QString description = form.fixedText.isEmpty() ? QString::fromStdString(text) : form.fixedText;
        station::op().message(form.prefix + QString::number(code) + form.separator + description, {}, form.icon);
    }
    log::LogError(code, text, location);
}

// Runs `action`; true when it finished, false when it threw (reported as above).
template <typename F>
bool guarded(const char* location, const ErrorForm& form, F&& action) {
    return station::catchErrors(std::forward<F>(action),
                                [&](int code, const std::string& text) { reportError(location, form, code, text); });
}

}  // namespace corva::config
