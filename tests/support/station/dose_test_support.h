#pragma once
// What the dose tests share: the application object, a program folder with an image
// database, a stand-in main window with the controls the dose capture finds by name.
#include <QString>
#include <QStringList>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/paths.h"
#include "dose/dose_view.h"
#include "temp_dir.h"

class QApplication;
class QTreeWidget;
class QLineEdit;

namespace corva::dose::test {

QApplication& app();

// Runs the event loop until `done` holds; false after `timeoutMs`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);

// A program folder (the process's, until destruction) with Data/QAData.dat and bin/.
class DoseFolder {
public:
    DoseFolder();
    ~DoseFolder();
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path imageDatabase() const { return path() / corva::folder::Data / "QAData.dat"; }
    std::filesystem::path bin() const { return path() / corva::folder::Bin; }
    // Logs/Error.log, empty when there is none.
    std::string errorLog() const;
    // How many lines of the error log name `location`.
    int errorCount(const std::string& location) const;

    // Every row of tblDosis by column name, in ID order.
    std::vector<std::map<std::string, std::string>> dosisRows() const;
    // Runs one statement on the image database.
    void exec(const std::string& sql) const;

private:
    corva::test::TempDir dir_;
};

// Null columns read as this text in dosisRows().
inline constexpr const char* Null = "<null>";

// A window with the controls of the main window that the dose capture uses, named as
// the main window names them.
class StubMainWindow : public QWidget {
public:
    StubMainWindow();
    QTreeWidget* lvDosis() const;
    QTreeWidget* lvImages() const;
    QLineEdit* text3(int i) const;
    QString text(const QString& objectName) const;
    // Its controls as the dose capture takes them, found by their names (also a
    // Popup_Dosis menu added later).
    corva::dose::DoseView view();
    // Adds image list entries with ImageUID texts.
    void addImages(int count);
};

}  // namespace corva::dose::test
