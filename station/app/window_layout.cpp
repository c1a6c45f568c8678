#include "app/window_layout.h"

#include "settings/settings.h"

#include <QMainWindow>
#include <QSettings>
#include <QSplitter>

namespace corva::station {

namespace {

QSettings store() {
    settings::useSiteSettingsFolder();
    return QSettings(QStringLiteral("ZKT"), QStringLiteral("Lumenpost"));
}

}  // namespace

WindowLayout::WindowLayout(QMainWindow& window, std::vector<QSplitter*> splitters, QString key)
    : window_(window), splitters_(std::move(splitters)), key_(std::move(key)) {}

QString WindowLayout::entry(const QString& name) const {
    return QStringLiteral("Layout/") + key_ + QLatin1Char('_') + name;
}

bool WindowLayout::restore() {
    QSettings s = store();
    restoredSplitters_ = 0;
    for (QSplitter* splitter : splitters_) {
        const QByteArray state = s.value(entry(splitter->objectName())).toByteArray();
        if (!state.isEmpty() && splitter->restoreState(state)) ++restoredSplitters_;
    }
    const QByteArray geometry = s.value(entry(QStringLiteral("Geometry"))).toByteArray();
    return !geometry.isEmpty() && window_.restoreGeometry(geometry);
}

void WindowLayout::save() const {
    QSettings s = store();
    s.setValue(entry(QStringLiteral("Geometry")), window_.saveGeometry());
    for (QSplitter* splitter : splitters_) s.setValue(entry(splitter->objectName()), splitter->saveState());
    s.sync();
}

void WindowLayout::forget(const QString& key) {
    QSettings s = store();
    s.beginGroup(QStringLiteral("Layout"));
    for (const QString& name : s.childKeys())
        if (name.startsWith(key + QLatin1Char('_'))) s.remove(name);
    s.endGroup();
    s.sync();
}

}  // namespace corva::station
