#pragma once
// Support for the main window's tests: a QApplication on the offscreen platform, a
// program folder with a real image database, rows and DICOM files of the image store,
// and a scripted operator.
#include <gtest/gtest.h>

#include <QString>
#include <Qt>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"
#include "station/scripted_operator.h"
#include "program_folder.h"

class QTreeWidgetItem;

namespace corva::station {
class ListView;
}

namespace corva::station::test {

// Polls (letting events run) until `condition` holds or `timeoutMs` passed.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000);
// Clicks an entry of a list near its left end; a click that starts a study load
// returns once the load has finished.
void clickItem(ListView* list, QTreeWidgetItem* item, Qt::MouseButton button = Qt::LeftButton);
// The entry whose first column reads `text`, or nullptr.
QTreeWidgetItem* findItem(ListView* list, const QString& text);

class StationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh program folder (image database from the template), active for the test.
    virtual corva::test::ProgramFolder::Options folderOptions() const { return {}; }

    db::Database openImageDb() const;
    std::int64_t addPatient(const std::string& id, const std::string& last, const std::optional<std::string>& first,
                            const std::optional<std::string>& second = std::nullopt,
                            const std::string& birthDate = "1960-01-01");
    std::int64_t addStudy(std::int64_t patientKey, const std::string& studyUid, const std::string& date = "2024-01-15",
                          const std::string& time = "10:15:00");
    std::int64_t addSeries(std::int64_t studyKey, const std::string& seriesUid, int seriesNr);
    // Inserts an image row (with `imageId` when given) and, with rows > 0, writes its file.
    std::int64_t addImage(std::int64_t seriesKey, const std::string& studyUid, const std::string& imageUid, int imageNr,
                          const std::string& time = "10:15:00", int rows = 32, int columns = 24,
                          std::optional<std::int64_t> imageId = std::nullopt);
    // A study of the patient with `seriesCount` series of `perSeries` images each, rows
    // and store files (see addImage), all with fresh UIDs.
    struct StudyRows {
        std::int64_t key = 0;
        std::string uid;
        std::vector<std::int64_t> series;
        std::vector<std::string> images;  // series by series, each in image order
    };
    StudyRows addStudyWithImages(std::int64_t patientKey, int seriesCount, int perSeries);
    void addReceiveRow();
    std::int64_t countRows(const std::string& table) const;
    std::string errorLog() const;

    std::unique_ptr<corva::test::ProgramFolder> folder_;
    ScriptedOperator op_;
    std::unique_ptr<OperatorSeamGuard> guard_;
};

}  // namespace corva::station::test
