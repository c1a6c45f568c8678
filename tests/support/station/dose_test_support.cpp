#include "dose_test_support.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <memory>
#include <QElapsedTimer>
#include <QAbstractButton>
#include <QLineEdit>
#include <QMenu>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "core/paths.h"
#include "db/database.h"
#include "db/schema.h"
#include "poll_until.h"
#include "dose/controls.h"

namespace corva::dose::test {

namespace {

// The application lives from before the first test to after the last one and goes
// before the process's static objects do: a shown window's platform state must not
// outlive the platform plugin.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app(); }
    void TearDown() override { application().reset(); }
    static std::unique_ptr<QApplication>& application() {
        static std::unique_ptr<QApplication> instance;
        return instance;
    }
};

// gtest takes ownership of the environment.
[[maybe_unused]] const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QApplication& app() {
    auto& instance = QtEnvironment::application();
    if (!instance) {
        // Settings of the tests never touch the user's own.
        static corva::test::TempDir config("xdg");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
        // Windows are built without a display, whichever way the test was started.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "dose_tests";
        static char* argv[] = {name, nullptr};
        instance = std::make_unique<QApplication>(argc, argv);
    }
    return *instance;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    return corva::test::pollUntil(done, timeoutMs);
}

DoseFolder::DoseFolder() : dir_("dose") {
    app();
    std::filesystem::create_directories(path() / corva::folder::Data);
    std::filesystem::create_directories(bin());
    {
        db::Database db(imageDatabase(), true);
        db::createImageSchema(db);
    }
    corva::setProgramFolderForTesting(path());
}

DoseFolder::~DoseFolder() { corva::setProgramFolderForTesting({}); }

std::string DoseFolder::errorLog() const {
    const auto file = path() / corva::folder::Logs / "Error.log";
    return std::filesystem::exists(file) ? corva::test::readFile(file) : std::string();
}

int DoseFolder::errorCount(const std::string& location) const {
    const std::string log = errorLog();
    int n = 0;
    for (std::size_t pos = log.find(location); pos != std::string::npos; pos = log.find(location, pos + 1)) ++n;
    return n;
}

std::vector<std::map<std::string, std::string>> DoseFolder::dosisRows() const {
    db::Database db(imageDatabase());
    db::Statement st = db.prepare("SELECT * FROM tblDosis ORDER BY ID");
    std::vector<std::map<std::string, std::string>> rows;
    while (st.step()) {
        std::map<std::string, std::string> row;
        for (int c = 0; c < st.columnCount(); ++c) row[st.columnName(c)] = st.isNull(c) ? Null : st.getText(c);
        rows.push_back(std::move(row));
    }
    return rows;
}

void DoseFolder::exec(const std::string& sql) const {
    db::Database db(imageDatabase());
    db.exec(sql);
}

StubMainWindow::StubMainWindow() {
    setObjectName("MainForm");
    auto* layout = new QVBoxLayout(this);
    auto add = [&](QWidget* w, const QString& name) {
        w->setObjectName(name);
        layout->addWidget(w);
    };
    add(new QTreeWidget(this), "lvDosis");
    auto* images = new QTreeWidget(this);
    images->setHeaderLabels({"ID", "Date", "Time", "ImageUID"});
    add(images, "lvImages");
    add(new QLineEdit(this), "Text1");
    add(new QLineEdit(this), "Text2");
    for (int i = 0; i < 6; ++i) add(new QLineEdit(this), QString("Text3_%1").arg(i));
    add(new QLineEdit(this), "txtID");
    add(new QPlainTextEdit(this), "txtcInput");
    add(new QListWidget(this), "List1");
    for (int i = 0; i < 8; ++i) add(new QPushButton(this), QString("cmdProjection_%1").arg(i));
    add(new QPushButton("Automatic", this), "cmdAll");
    add(new QPushButton("Manually", this), "cmdSelected");
}

QTreeWidget* StubMainWindow::lvDosis() const { return findChild<QTreeWidget*>("lvDosis"); }
QTreeWidget* StubMainWindow::lvImages() const { return findChild<QTreeWidget*>("lvImages"); }
QLineEdit* StubMainWindow::text3(int i) const { return findChild<QLineEdit*>(QString("Text3_%1").arg(i)); }
QString StubMainWindow::text(const QString& objectName) const {
    return controlText(findChild<QWidget*>(objectName));
}

DoseView StubMainWindow::view() {
    DoseView v;
    v.window = this;
    v.lvDosis = lvDosis();
    v.text1 = findChild<QWidget*>("Text1");
    v.text2 = findChild<QWidget*>("Text2");
    for (int i = 0; i < 6; ++i) v.text3[static_cast<std::size_t>(i)] = text3(i);
    v.txtID = findChild<QWidget*>("txtID");
    v.txtcInput = findChild<QWidget*>("txtcInput");
    v.list1 = findChild<QListWidget*>("List1");
    v.lvImages = lvImages();
    for (int i = 0; i < DoseProjectionButtons; ++i)
        v.cmdProjection[static_cast<std::size_t>(i)] = findChild<QAbstractButton*>(QString("cmdProjection_%1").arg(i));
    v.cmdAll = findChild<QWidget*>("cmdAll");
    v.cmdSelected = findChild<QWidget*>("cmdSelected");
    v.popupDosis = findChild<QMenu*>("Popup_Dosis");
    return v;
}

void StubMainWindow::addImages(int count) {
    for (int i = 0; i < count; ++i) {
        auto* item = new QTreeWidgetItem(lvImages());
        item->setText(0, QString::number(i + 1));
        item->setText(3, QString("1.2.3.%1").arg(i + 1));
    }
}

}  // namespace corva::dose::test
