#pragma once
// Remembers the main window's geometry and the positions of its splitters between runs,
// beside the other settings (QSettings "ZKT", "Lumenpost", group "Layout").
#include <QString>
#include <vector>

class QMainWindow;
class QSplitter;

namespace corva::station {

class WindowLayout {
public:
    // `key` names the window in the store; the splitters are stored by object name.
    WindowLayout(QMainWindow& window, std::vector<QSplitter*> splitters, QString key);

    // Restores what an earlier run saved: true when the geometry was found. Splitters
    // without a saved position keep theirs (restoredSplitters() counts those found).
    bool restore();
    int restoredSplitters() const { return restoredSplitters_; }
    void save() const;
    // Removes what was saved for `key` (the next start is a first start).
    static void forget(const QString& key);

private:
    QString entry(const QString& name) const;

    QMainWindow& window_;
    std::vector<QSplitter*> splitters_;
    QString key_;
    int restoredSplitters_ = 0;
};

}  // namespace corva::station
