#pragma once
// The main window with a real storescp as its default destination, for the forwarding
// tests: patients with mammography views, exposure records, the archive's view of what
// it received, and the answers the operator gives.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/job_commands.h"
#include "app/main_form.h"
#include "child_process.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "dicom_fixture.h"
#include "dose/dose_capture.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "store_scp.h"
#include "temp_dir.h"
#include "viewer/dicom_viewer.h"

namespace corva::station::test {

namespace fs = std::filesystem;
using corva::station::ScriptedOperator;
using corva::station::MsgResult;

inline const dicom::Tag ViewPosition{0x0018, 0x5101}, ImageLaterality{0x0020, 0x0062}, AcquisitionDate{0x0008, 0x0022},
    AcquisitionTime{0x0008, 0x0032}, Kvp{0x0018, 0x0060};

struct View {
    std::string viewPosition;
    std::string laterality;  // Image Laterality
    std::string taken;       // hhmmss
};

class ForwardingSite : public corva::station::test::StationTest {
protected:
    void TearDown() override {
        form_.reset();
        scp_.reset();
        inbox_.reset();
        StationTest::TearDown();
    }
    MainForm& open(int unit, bool keep) {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        settings::current().xrayComm = static_cast<std::int16_t>(unit);
        settings::current().sentAndKeep = keep ? 1 : 0;
        form_->dose().refreshDoseList();
        return *form_;
    }
    JobCommands& commands() { return *form_->findChild<JobCommands*>(); }
    void startArchive(std::vector<std::string> extra = {}) {
        inbox_ = std::make_unique<corva::test::TempDir>("archive");
        scp_ = std::make_unique<corva::test::StoreScp>(inbox_->path(), std::move(extra));
        auto db = db::Database(folder_->userDatabase());
        auto st = db.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('PACS', 'STORESCP', "
                             "'127.0.0.1', ?, 1)");
        st.bind(1, scp_->port());
        st.run();
    }
    std::int64_t patient(const std::string& id) { return addPatient(id, "Alpha" + id, "A"); }
    // A study of these views for the patient; `uids` overrides the SOP instance UIDs.
    std::vector<std::string> addViews(std::int64_t patientKey, const std::string& studyUid,
                                      const std::vector<View>& views, const std::string& date = "20261210") {
        const auto series = addSeries(addStudy(patientKey, studyUid), studyUid + ".1", 1);
        std::vector<std::string> uids;
        for (std::size_t i = 0; i < views.size(); ++i) {
            const std::string uid = studyUid + ".1." + std::to_string(i + 1);
            addImage(series, studyUid, uid, static_cast<int>(i + 1), "10:15:00", 0);
            writeView(studyUid, studyUid + ".1", uid, static_cast<int>(i + 1), views[i], date);
            uids.push_back(uid);
        }
        return uids;
    }
    void writeView(const std::string& studyUid, const std::string& seriesUid, const std::string& uid, int number,
                   const View& v, const std::string& date = "20261210") {
        corva::test::DicomRecipe recipe;
        recipe.studyUid = studyUid;
        recipe.seriesUid = seriesUid;
        recipe.sopInstanceUid = uid;
        recipe.instanceNumber = number;
        recipe.rows = 32;
        recipe.columns = 24;
        recipe.extra = {{ViewPosition, v.viewPosition},
                        {ImageLaterality, v.laterality},
                        {AcquisitionDate, date},
                        {AcquisitionTime, v.taken}};
        corva::test::writeDicom(folder_->images() / studyUid / (uid + ".dcm"), recipe);
    }
    // A waiting record; a Sophie unit (1) keeps the projection as the fourth item, a
    // Giotto unit (2) alone.
    std::int64_t addRecord(const std::string& kv, const std::string& zeit, const std::string& projection,
                           const std::string& datum = "10.12.2026", int unit = 1) {
        auto db = openImageDb();
        auto st = db.prepare(
            "INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
            "VALUES (?, '50', ?, 45, '1.5', 100, ?, ?, '0', '0,5')");
        st.bind(1, kv).bind(2, zeit).bind(3, datum).bind(4, unit == 1 ? "Mo/Mo,AEC,2," + projection + ",S" : projection);
        st.run();
        return db.lastInsertRowId();
    }
    std::string status(std::int64_t id) const {
        auto db = openImageDb();
        auto st = db.prepare("SELECT Status FROM tblDosis WHERE ID = ?");
        st.bind(1, id);
        return st.step() ? st.getText(0) : "<gone>";
    }
    // The images the archive holds (the dose report that follows them aside).
    std::map<std::string, dicom::DataSet> archived() const { return archivedObjects(false); }
    // The dose reports the archive holds.
    std::map<std::string, dicom::DataSet> archivedReports() const { return archivedObjects(true); }
    std::map<std::string, dicom::DataSet> archivedObjects(bool reports) const {
        std::map<std::string, dicom::DataSet> out;
        if (!inbox_) return out;
        for (const auto& e : fs::directory_iterator(inbox_->path())) {
            if (!e.is_regular_file()) continue;
            auto image = dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly);
            if ((image.sopClassUid() == dicom::XRayRadiationDoseSrClass) != reports) continue;
            out.emplace(image.sopInstanceUid(), image.attributes());
        }
        return out;
    }
    std::size_t archivedFiles() const {
        std::size_t n = 0;
        if (!inbox_) return n;
        for (const auto& e : fs::directory_iterator(inbox_->path()))
            if (e.is_regular_file()) ++n;
        return n;
    }
    void loadStudy(MainForm& f, const QString& patientId, int studyPosition = 1) {
        corva::station::test::clickItem(f.lvPatients(), findItem(f.lvPatients(), patientId));
        corva::station::test::clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(studyPosition));
        ASSERT_GT(f.dv1()->count(), 0);
    }
    void pressOkWhenDone(QString* log) {
        op_.answerWindow(ScriptedOperator::runModal([log](QDialog& d) {
            auto& form = static_cast<jobs::EditForm&>(d);
            if (!waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
            if (log) *log = form.txtProgress()->toPlainText();
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        }));
    }
    bool imageRowExists(const std::string& uid) const {
        auto db = openImageDb();
        auto st = db.prepare("SELECT 1 FROM tblImages WHERE ImageUID = ?");
        st.bind(1, uid);
        return st.step();
    }
    // Selects the dose-list row holding record `id`; false when none.
    bool selectRecord(MainForm& f, std::int64_t id) {
        for (int row = 0; row < f.dose().doseRecordCount(); ++row)
            if (f.dose().selectDoseRecord(row) && f.dose().doseList().currentRecordId() == id) return true;
        return false;
    }
    // corvactl of the build as another shell would run it on this program folder.
    corva::test::CommandResult corvactl(const std::vector<std::string>& args) {
        if (!fs::exists(folder_->executable("corvactl"))) folder_->copyExecutable("corvactl");
        if (!ctlHome_) ctlHome_ = std::make_unique<corva::test::TempDir>("ctlhome");
        std::vector<std::string> argv{folder_->executable("corvactl").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return corva::test::runCommand(argv, std::chrono::seconds(120),
                                       {"XDG_CONFIG_HOME=" + ctlHome_->path().string(),
                                        "HOME=" + ctlHome_->path().string()});
    }

    std::unique_ptr<MainForm> form_;
    std::unique_ptr<corva::test::TempDir> inbox_;
    std::unique_ptr<corva::test::StoreScp> scp_;
    std::unique_ptr<corva::test::TempDir> ctlHome_;
};


}  // namespace corva::station::test
