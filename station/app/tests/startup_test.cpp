// The start sequence, the splash, the about window and the text prompt.
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "core/error.h"
#include "app/about_form.h"
#include "common/input_box_form.h"
#include "app/main_form.h"
#include "app/program_version.h"
#include "app/splash_form.h"
#include "app/startup.h"
#include "common/station_context.h"
#include "process/process.h"
#include "station_test_support.h"

namespace corva::station::test {
namespace {

class StartupTest : public StationTest {
protected:
    corva::test::ProgramFolder::Options folderOptions() const override {
        corva::test::ProgramFolder::Options o;
        o.imageDatabase = false;  // the start copies the template
        o.logo = true;
        return o;
    }
};

TEST(ScreenCheck, RefusesScreensBelow1024x768) {
    EXPECT_FALSE(screenLargeEnough({800, 800}));
    EXPECT_FALSE(screenLargeEnough({1024, 600}));
    EXPECT_FALSE(screenLargeEnough({1000, 768}));
    EXPECT_TRUE(screenLargeEnough({1024, 768}));
    EXPECT_TRUE(screenLargeEnough({1280, 1024}));
}

TEST_F(StartupTest, SecondCopyShowsTheOneInstanceMessageAndEnds) {
    process::SingleInstanceLock firstCopy(InstanceLockKey);
    ASSERT_TRUE(firstCopy.acquired());
    Startup second;
    QSignalSpy ended(&second, &Startup::ended);
    ASSERT_TRUE(second.begin());
    ASSERT_TRUE(waitFor([&] { return ended.count() == 1; }));
    ASSERT_EQ(op_.shown().size(), 1u);
    EXPECT_EQ(op_.shown()[0].text, "Your can only run one instance of 'Corvalight'");
    EXPECT_EQ(op_.shown()[0].title, "Corvalight");
    EXPECT_EQ(op_.shown()[0].icon, MsgIcon::Information);
    EXPECT_EQ(second.mainForm(), nullptr);
    EXPECT_FALSE(second.splash()->isVisible());
}

TEST_F(StartupTest, StartLoadsTheMainWindowHiddenAndShowsItAfterTheOptions) {
    Startup start;
    QSignalSpy shown(&start, &Startup::mainShown);
    ASSERT_TRUE(start.begin());
    EXPECT_EQ(start.splash()->windowTitle(), "Corvalight Version " + versionText(CurrentVersion, true));
    EXPECT_EQ(start.splash()->lblVersion()->text(), "Version " + versionText(CurrentVersion, true));
    EXPECT_EQ(start.splash()->lblProductName()->text(), "Corvalight");
    EXPECT_FALSE(start.splash()->Image1()->pixmap().isNull());
    ASSERT_TRUE(waitFor([&] { return start.optionsWindow() && start.optionsWindow()->isVisible(); }));
    ASSERT_NE(start.mainForm(), nullptr);
    EXPECT_FALSE(start.mainForm()->isVisible());
    EXPECT_FALSE(start.splash()->isVisible());
    // The image database was made from the template; the folders exist.
    EXPECT_TRUE(std::filesystem::exists(folder_->imageDatabase()));
    for (const char* name : {"Temp", "bin", "transfer"})
        EXPECT_TRUE(std::filesystem::is_directory(folder_->path() / name)) << name;
    // While it runs, a second copy is refused.
    EXPECT_FALSE(process::SingleInstanceLock(InstanceLockKey).acquired());

    start.optionsWindow()->findChild<QPushButton*>("cmdCancel")->click();
    ASSERT_TRUE(waitFor([&] { return shown.count() == 1; }));
    EXPECT_TRUE(start.mainForm()->isVisible());
    start.mainForm()->UpdateTimer()->stop();
    EXPECT_TRUE(op_.shown().empty());
}

TEST_F(StartupTest, AFailingStartIsShownLoggedAndEnds) {
    Startup start;
    start.setOptionsFactory([](QWidget*) -> std::unique_ptr<QDialog> {
        throw Error(errc::NotFound, "options window missing");
    });
    QSignalSpy ended(&start, &Startup::ended);
    ASSERT_TRUE(start.begin());
    ASSERT_TRUE(waitFor([&] { return ended.count() == 1; }));
    EXPECT_EQ(start.mainForm(), nullptr);
    EXPECT_FALSE(start.splash()->isVisible());
    ASSERT_EQ(op_.shown().size(), 1u);
    EXPECT_TRUE(op_.shown()[0].text.endsWith(": options window missing")) << op_.shown()[0].text.toStdString();
    EXPECT_EQ(op_.shown()[0].icon, MsgIcon::Critical);
    EXPECT_NE(errorLog().find("options window missing Splash_Timer"), std::string::npos) << errorLog();
}

TEST(AboutWindow, ShowsNameAndVersion) {
    AboutForm about;
    EXPECT_EQ(about.windowTitle(), "About ZKT Tallyrad");
    EXPECT_EQ(about.Label1(0)->text(), "ZKT Tallyrad");
    EXPECT_EQ(about.Label1(1)->text(), "Version " + versionText(CurrentVersion, false));
    EXPECT_TRUE(about.cmdOK()->isDefault());
}

TEST(VersionText, PadsTheSplashRevision) {
    EXPECT_EQ(versionText({2, 3, 7}, true), "2.3.07");
    EXPECT_EQ(versionText({2, 3, 7}, false), "2.3.7");
    EXPECT_EQ(versionText({2, 3, 12}, true), "2.3.12");
    EXPECT_EQ(versionText({2, 3, 123}, true), "2.3.123");
}

TEST(VersionText, ComesFromTheProjectVersion) {
    EXPECT_STRNE(CORVA_PROJECT_VERSION, "0.0.0") << "the build passes the project version";
    EXPECT_EQ(CurrentVersion, parseProgramVersion(CORVA_PROJECT_VERSION));
    EXPECT_EQ(parseProgramVersion("1.0"), (ProgramVersion{1, 0, 0}));
    EXPECT_EQ(parseProgramVersion("2.3.7"), (ProgramVersion{2, 3, 7}));
    EXPECT_EQ(parseProgramVersion("2.3.12.4"), (ProgramVersion{2, 3, 12}));
    EXPECT_EQ(parseProgramVersion("5"), (ProgramVersion{5, 0, 0}));
}

class InputBoxTest : public StationTest {};

TEST_F(InputBoxTest, TakesTwoCharactersAndStartsEmptyEachTime) {
    InputBoxForm prompt;
    EXPECT_EQ(prompt.windowTitle(), "Add new filter");
    op_.answerWindow(ScriptedOperator::runModal([](QDialog& d) {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
        auto* box = d.findChild<QLineEdit*>("txtValue");
        QTest::keyClicks(box, "CTX");
        QTest::keyClick(box, Qt::Key_Return);
    }));
    EXPECT_EQ(op().exec(prompt), QDialog::Accepted);
    EXPECT_EQ(prompt.txtValue()->text(), "CT");  // readable after it closed

    op_.answerWindow(ScriptedOperator::runModal([](QDialog& d) {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
        auto* box = d.findChild<QLineEdit*>("txtValue");
        EXPECT_TRUE(box->text().isEmpty());  // not the previous answer
        QTest::keyClicks(box, "MR");
        d.findChild<QPushButton*>("CancelButton")->click();
    }));
    op().exec(prompt);
    EXPECT_TRUE(prompt.txtValue()->text().isEmpty());
}

}  // namespace
}  // namespace corva::station::test
