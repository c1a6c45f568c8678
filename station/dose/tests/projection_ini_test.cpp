// projection.ini and the eight projection buttons.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include "dose/dose_capture.h"
#include "dose/projection_ini.h"
#include "dose_test_support.h"

using namespace corva::dose;

namespace {

QStringList captions(const QWidget& window) {
    QStringList list;
    for (int i = 0; i < 8; ++i) list << window.findChild<QPushButton*>(QString("cmdProjection_%1").arg(i))->text();
    return list;
}

TEST(ProjectionIni, ThreeLinesLabelThreeButtons) {
    test::DoseFolder folder;
    corva::test::writeFile(folder.path() / "projection.ini", "L-CC\r\n R-CC \r\n\r\n");
    test::StubMainWindow window;
    ProjectionCaptions::load(folder.path(), unit::Giotto).apply(window.view().cmdProjection);
    EXPECT_EQ(captions(window), (QStringList{"L-CC", " R-CC ", "", "", "", "", "", ""}));
    disableUncaptionedProjectionButtons(window.view().cmdProjection);
    EXPECT_TRUE(window.findChild<QPushButton*>("cmdProjection_1")->isEnabled());
    for (int i = 2; i < 8; ++i) EXPECT_FALSE(window.findChild<QPushButton*>(QString("cmdProjection_%1").arg(i))->isEnabled());
}

TEST(ProjectionIni, TenLinesLabelAllEightWithTheFirstEight) {
    test::DoseFolder folder;
    std::string text;
    for (int i = 1; i <= 10; ++i) text += "P" + std::to_string(i) + "\n";
    corva::test::writeFile(folder.path() / "projection.ini", text);
    test::StubMainWindow window;
    corva::settings::Settings settings;
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    capture.loadProjectionCaptions();
    EXPECT_EQ(captions(window), (QStringList{"P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8"}));
}

TEST(ProjectionIni, OnlyForGiottoAndOnlyWhenPresent) {
    test::DoseFolder folder;
    test::StubMainWindow window;
    ProjectionCaptions::load(folder.path(), unit::Giotto).apply(window.view().cmdProjection);  // no file
    EXPECT_EQ(captions(window), QStringList(8, QString()));
    corva::test::writeFile(folder.path() / "projection.ini", "L-CC\n");
    ProjectionCaptions::load(folder.path(), unit::Sophie).apply(window.view().cmdProjection);
    EXPECT_EQ(captions(window), QStringList(8, QString()));
    // Latin-1 written by the workstation's editor.
    corva::test::writeFile(folder.path() / "projection.ini", "Schr\xe4g L\n");
    EXPECT_EQ(ProjectionCaptions::load(folder.path(), unit::Giotto).caption(0), QString::fromUtf8("Schräg L"));
}

TEST(ProjectionButtons, ClickSetsTheCurrentProjectionAndTheField) {
    test::DoseFolder folder;
    test::StubMainWindow window;
    corva::settings::Settings settings;
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    window.findChild<QPushButton*>("cmdProjection_2")->setText("L-LMO45");
    window.findChild<QPushButton*>("cmdProjection_2")->click();
    EXPECT_EQ(capture.currentProjection(), "L-LMO45");
    EXPECT_EQ(window.text3(5)->text(), "L-LMO45");
    EXPECT_TRUE(folder.dosisRows().empty());
}

}  // namespace
