// The export window on the offscreen platform, with a scripted operator: its controls
// at load, the quality controls, the folder check, an export with DICOMDIR and ZIP
// whose progress moves per image while the window keeps handling events, Cancel
// during an export, and the import and export commands of the main window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include "station/scripted_operator.h"
#include "dicom_fixture.h"
#include "offscreen_application.h"
#include "transfer/export_form.h"
#include "poll_until.h"
#include "program_folder.h"
#include "settings/settings.h"
#include "temp_dir.h"
#include "transfer/transfer_commands.h"
#include "transfer_test_util.h"

namespace corva::station::transfer {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::ProgramFolder;
using corva::test::TempDir;
using corva::test::writeDicom;

// One application for the test program; settings go to a folder of this run.
[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(
    new corva::station::test::OffscreenApplication("transfer-tests"));

class ExportFormTest : public ::testing::Test {
protected:
    ExportFormTest() : guard(script) { site.activate(); }

    std::vector<fs::path> makeImages(int n, int rows = 64)
    {
        std::vector<fs::path> files;
        DicomRecipe spec;
        spec.studyUid = corva::test::uniqueUid();
        spec.rows = rows;
        spec.columns = rows;
        for (int i = 0; i < n; ++i) {
            spec.sopInstanceUid = corva::test::uniqueUid();
            spec.instanceNumber = i + 1;
            files.push_back(writeDicom(source / ("i" + std::to_string(i) + ".dcm"), spec));
        }
        return files;
    }
    template <typename T>
    static T* child(QDialog& form, const char* name)
    {
        T* w = form.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    ProgramFolder site;
    ScriptedOperator script;
    OperatorSeamGuard guard;
    TempDir source{"corva-form-src"};
    TempDir target{"corva-form-dst"};
};

TEST_F(ExportFormTest, WindowLoadShowsTheControlsOfTheMode)
{
    ExportForm jpeg(ExportFormat::Jpeg, makeImages(1));
    EXPECT_EQ(jpeg.windowTitle(), "Export JPEG");
    EXPECT_TRUE(child<QGroupBox>(jpeg, "frmImage")->isVisibleTo(&jpeg));
    EXPECT_FALSE(child<QGroupBox>(jpeg, "frmExport")->isVisibleTo(&jpeg));
    EXPECT_FALSE(child<QCheckBox>(jpeg, "chkDicomDir")->isVisibleTo(&jpeg));
    auto* combo = child<QComboBox>(jpeg, "cboQuality");
    EXPECT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(0), "Less");
    EXPECT_EQ(combo->itemText(3), "Max");
    // a new installation exports at "High"
    EXPECT_EQ(combo->currentIndex(), 2);
    EXPECT_EQ(child<QSlider>(jpeg, "sldQuality")->value(), 8);
    EXPECT_EQ(child<QLineEdit>(jpeg, "txtQuality")->text(), "8");
    EXPECT_EQ(child<QLineEdit>(jpeg, "txtExportDir")->text(), "");
    EXPECT_EQ(child<QCheckBox>(jpeg, "chkCompress")->text(), "Compress to ZIP file");
    EXPECT_FALSE(child<QCheckBox>(jpeg, "chkCompress")->isChecked());
    EXPECT_TRUE(child<QPushButton>(jpeg, "cmdExport")->isDefault());
    EXPECT_EQ(child<QPushButton>(jpeg, "cmdBrowse")->text(), "...");
    EXPECT_EQ(child<QPushButton>(jpeg, "cmdCancel")->text(), "Cancel");

    ExportForm dicom(ExportFormat::Dicom, makeImages(1));
    EXPECT_EQ(dicom.windowTitle(), "Export DICOM");
    EXPECT_FALSE(child<QGroupBox>(dicom, "frmImage")->isVisibleTo(&dicom));
    EXPECT_TRUE(child<QGroupBox>(dicom, "frmExport")->isVisibleTo(&dicom));
    EXPECT_TRUE(child<QCheckBox>(dicom, "chkDicomDir")->isVisibleTo(&dicom));
    EXPECT_EQ(child<QCheckBox>(dicom, "chkDicomDir")->text(), "Create DicomDir file");
    EXPECT_EQ(ExportForm::comboIndexAtLoad(0), -1);
    EXPECT_EQ(ExportForm::comboIndexAtLoad(2), 0);
    EXPECT_EQ(ExportForm::comboIndexAtLoad(7), 1);
    EXPECT_EQ(ExportForm::comboIndexAtLoad(9), 2);
    EXPECT_EQ(ExportForm::comboIndexAtLoad(10), 3);
}

TEST_F(ExportFormTest, ComboAndSliderFollowEachOther)
{
    ExportForm form(ExportFormat::Jpeg, makeImages(1));
    auto* combo = child<QComboBox>(form, "cboQuality");
    auto* slider = child<QSlider>(form, "sldQuality");
    auto* text = child<QLineEdit>(form, "txtQuality");
    const int comboValues[] = {3, 5, 8, 10};
    for (int i = 0; i < 4; ++i) {
        emit combo->activated(i);
        EXPECT_EQ(slider->value(), comboValues[i]);
        EXPECT_EQ(text->text(), QString::number(comboValues[i]));
    }
    struct Move {
        int value;
        int combo;  // expected index afterwards
    };
    for (const Move m : {Move{4, 3}, Move{3, 0}, Move{6, 0}, Move{5, 1}, Move{9, 1}, Move{8, 2}, Move{10, 3}, Move{1, 3}}) {
        slider->setValue(m.value);
        EXPECT_EQ(text->text(), QString::number(m.value));
        EXPECT_EQ(combo->currentIndex(), m.combo) << m.value;
    }
}

TEST_F(ExportFormTest, AMissingFolderIsRefusedAndTheWindowStaysUsable)
{
    ExportForm form(ExportFormat::Dicom, makeImages(1));
    form.show();
    for (const QString& dir : {QString(), QString::fromStdString((target.path() / "missing").string())}) {
        script.answer(MsgResult::OK);
        child<QLineEdit>(form, "txtExportDir")->setText(dir);
        child<QPushButton>(form, "cmdExport")->click();
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(child<QPushButton>(form, "cmdExport")->isEnabled());
    }
    EXPECT_EQ(script.messages(), (QStringList{"Export directory does not exists!", "Export directory does not exists!"}));
    EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::Message).at(0).icon, MsgIcon::Critical);
    // "..." puts the chosen folder into the box; a cancelled picker empties it.
    script.answerFolder(QString::fromStdString(target.path().string()));
    child<QPushButton>(form, "cmdBrowse")->click();
    EXPECT_EQ(child<QLineEdit>(form, "txtExportDir")->text().toStdString(), target.path().string());
    EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::Folder).at(0).title, "Export Directory");
    script.answerFolder(std::nullopt);
    child<QPushButton>(form, "cmdBrowse")->click();
    EXPECT_EQ(child<QLineEdit>(form, "txtExportDir")->text(), "");
}

TEST_F(ExportFormTest, ExportMovesTheBarPerImageKeepsTheWindowResponsiveAndPacksTheArchive)
{
    const auto images = makeImages(40, 256);
    ExportForm form(ExportFormat::Dicom, images);
    form.show();
    auto* bar = child<QProgressBar>(form, "pbExport");
    std::vector<int> values;
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) {
        if (bar->maximum() == 40)
            values.push_back(v);
    });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticks += form.isRunning() ? 1 : 0; });
    ticker.start(1);
    child<QLineEdit>(form, "txtExportDir")->setText(QString::fromStdString(target.path().string()));
    child<QCheckBox>(form, "chkDicomDir")->setChecked(true);
    child<QCheckBox>(form, "chkCompress")->setChecked(true);
    script.answerInput(QString(" case.ZIP "));
    script.answer(MsgResult::OK);
    child<QPushButton>(form, "cmdExport")->click();
    EXPECT_TRUE(form.isRunning());
    EXPECT_FALSE(child<QPushButton>(form, "cmdExport")->isEnabled());
    EXPECT_FALSE(child<QCheckBox>(form, "chkDicomDir")->isEnabled());
    ASSERT_TRUE(corva::test::pollUntil([&] { return !form.isVisible(); }, 30000));

    EXPECT_EQ(form.result(), QDialog::Accepted);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), 40);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_GT(values.size(), 10u);  // the bar moved image by image, not once at the end
    EXPECT_GT(ticks, 0);            // the event loop ran while the export worked
    EXPECT_EQ(child<QLabel>(form, "lblCount")->text().isEmpty(), false);
    const auto inputs = script.shownOf(ScriptedOperator::Kind::Input);
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].text, "Please enter ZIP-Archive name:");
    EXPECT_EQ(inputs[0].title, "ZIP Archive");
    EXPECT_EQ(inputs[0].defaultAnswer.size(), 6);
    EXPECT_EQ(script.messages(), QStringList{"Images exported!"});
    EXPECT_TRUE(script.unexpected().empty());
    EXPECT_TRUE(fs::is_regular_file(target.path() / "case.ZIP"));
    EXPECT_TRUE(fs::is_regular_file(target.path() / "DICOMDIR"));
    EXPECT_EQ(settings::ReadRegistryValue("Export\\Compress", ""), "1");
    EXPECT_EQ(settings::ReadRegistryValue("Export\\DicomDir", ""), "1");
    EXPECT_EQ(settings::ReadRegistryValue("Export\\Directory", ""), target.path().string());
    EXPECT_EQ(settings::ReadRegistryValue("Export\\Quality", ""), "8");
}

// The next export starts as the last one ended: quality, folder and tick boxes. A stored
// quality of 0 (banded pictures) or garbage starts at "High".
TEST_F(ExportFormTest, TheNextExportRemembersQualityFolderAndTickBoxes)
{
    {
        ExportForm form(ExportFormat::Dicom, makeImages(1));
        child<QSlider>(form, "sldQuality")->setValue(10);
        child<QLineEdit>(form, "txtExportDir")->setText(QString::fromStdString(target.path().string()));
        child<QCheckBox>(form, "chkCompress")->setChecked(true);
        child<QCheckBox>(form, "chkDicomDir")->setChecked(true);
        form.reject();
    }
    ExportForm again(ExportFormat::Dicom, makeImages(1));
    EXPECT_EQ(child<QSlider>(again, "sldQuality")->value(), 10);
    EXPECT_EQ(child<QComboBox>(again, "cboQuality")->currentText(), "Max");
    EXPECT_EQ(child<QLineEdit>(again, "txtExportDir")->text().toStdString(), target.path().string());
    EXPECT_TRUE(child<QCheckBox>(again, "chkCompress")->isChecked());
    EXPECT_TRUE(child<QCheckBox>(again, "chkDicomDir")->isChecked());
    for (const char* stored : {"0", "abc", "11"}) {
        settings::WriteRegistryValue("Export\\Quality", stored);
        ExportForm jpeg(ExportFormat::Jpeg, makeImages(1));
        EXPECT_EQ(child<QSlider>(jpeg, "sldQuality")->value(), 8) << stored;
        EXPECT_EQ(child<QComboBox>(jpeg, "cboQuality")->currentText(), "High") << stored;
    }
}

// The operator hears what was written: an image that cannot be rendered (no pixel data)
// is counted as failed, and an export that wrote nothing says so instead of "exported".
TEST_F(ExportFormTest, TellsHowManyImagesWereWrittenAndFailedWhenNone)
{
    struct Case {
        int good;
        int bad;
        bool zip;
        QString message;
        MsgIcon icon;
    };
    const QString seeLog = "\r\nView log-files for information.";
    for (const Case& c : {Case{2, 1, false, "2 of 3 images exported, 1 failed." + seeLog, MsgIcon::Exclamation},
                          Case{0, 2, false, "Export failed: no image was written." + seeLog, MsgIcon::Critical},
                          Case{0, 1, true, "Export failed: no image was written." + seeLog, MsgIcon::Critical}}) {
        script.clear();
        auto images = makeImages(c.good);
        for (int i = 0; i < c.bad; ++i) {
            DicomRecipe empty;
            empty.rows = 0;  // no pixel data: nothing to draw
            images.push_back(writeDicom(source / ("empty" + std::to_string(i) + ".dcm"), empty));
        }
        const fs::path out = target.path() / (std::to_string(c.good) + "-" + std::to_string(c.bad) + (c.zip ? "z" : ""));
        fs::create_directories(out);
        ExportForm form(ExportFormat::Jpeg, images);
        form.show();
        child<QLineEdit>(form, "txtExportDir")->setText(QString::fromStdString(out.string()));
        child<QCheckBox>(form, "chkCompress")->setChecked(c.zip);
        script.answer(MsgResult::OK);
        child<QPushButton>(form, "cmdExport")->click();
        ASSERT_TRUE(corva::test::pollUntil([&] { return !form.isVisible(); }, 30000));
        EXPECT_EQ(script.messages(), QStringList{c.message}) << c.good << "/" << c.bad;
        ASSERT_FALSE(script.shownOf(ScriptedOperator::Kind::Message).empty());
        EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::Message).back().icon, c.icon);
        EXPECT_TRUE(script.shownOf(ScriptedOperator::Kind::Input).empty());  // no archive asked for nothing
        int jpegs = 0;
        for (const auto& f : test::filesBelow(out))
            jpegs += f.ends_with(".jpg") ? 1 : 0;
        EXPECT_EQ(jpegs, c.good);
    }
}

TEST_F(ExportFormTest, CancelDuringTheExportStopsItAndClosesTheWindow)
{
    const auto images = makeImages(100, 256);
    ExportForm form(ExportFormat::Jpeg, images);
    form.show();
    auto* bar = child<QProgressBar>(form, "pbExport");
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            child<QPushButton>(form, "cmdCancel")->click();
    });
    child<QLineEdit>(form, "txtExportDir")->setText(QString::fromStdString(target.path().string()));
    child<QCheckBox>(form, "chkCompress")->setChecked(true);
    child<QPushButton>(form, "cmdExport")->click();
    ASSERT_TRUE(corva::test::pollUntil([&] { return !form.isVisible(); }, 30000));
    EXPECT_FALSE(form.isRunning());
    EXPECT_TRUE(script.shown().empty());  // no ZIP prompt, no message
    EXPECT_LT(test::filesBelow(target.path()).size(), 100u);
    EXPECT_EQ(settings::ReadRegistryValue("Export\\Compress", ""), "1");
}

TEST_F(ExportFormTest, MainWindowCommandsAskThroughTheSeam)
{
    script.answer(MsgResult::OK);
    EXPECT_EQ(runExport(ExportFormat::Jpeg, {}), -1);
    EXPECT_EQ(script.messages(), QStringList{"No images loaded into viewport."});
    EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::Message).at(0).icon, MsgIcon::Information);

    script.answerWindow([](QDialog& window) {
        EXPECT_EQ(window.objectName(), "ExportForm");
        EXPECT_EQ(window.windowTitle(), "Export DICOM");
        return int(QDialog::Rejected);
    });
    EXPECT_EQ(runExport(ExportFormat::Dicom, makeImages(1)), QDialog::Rejected);

    script.answerOpenFiles({});
    EXPECT_EQ(chooseImageImport(site.temp()), nullptr);
    const auto files = makeImages(2);
    script.answerOpenFiles({QString::fromStdString(files[0].string()), QString::fromStdString(files[1].string())});
    auto job = chooseImageImport(site.temp());
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->caption(), "Import image(s)");
    EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::OpenFiles).at(0).file.filter,
              "DICOM Image (*.dcm)|*.dcm|All files (*.*)|*.*");

    script.answerOpenFile(std::nullopt);
    EXPECT_EQ(chooseDicomDirImport(site.temp()), nullptr);
    script.answerOpenFile(QString::fromStdString((source.path() / "DICOMDIR").string()));
    job = chooseDicomDirImport(site.temp());
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->caption(), "Import DICOM-Dir");
    EXPECT_EQ(script.shownOf(ScriptedOperator::Kind::OpenFile).at(0).file.filter, "All files (*.*)|*.*");
    for (const auto& u : script.unexpected())
        ADD_FAILURE() << "unanswered " << static_cast<int>(u.kind) << " " << u.text.toStdString();
}

}  // namespace
}  // namespace corva::station::transfer
