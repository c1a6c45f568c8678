#pragma once
// The patient/study/series/image hierarchy of the image database and its files in the
// image store, for the jobs that remove images. A removal names the image IDs it
// handled; a series, study or patient row goes only when, inside the same transaction,
// nothing else is left in it. Files go only after the commit, a study folder only when
// it is empty: an image filed meanwhile keeps its containers, its row and its file.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"

namespace corva::db {

// One filed image and where it hangs.
struct ImageRef {
    std::int64_t imageId = 0;
    std::string imageUid;
    std::int64_t seriesId = 0;
    std::int64_t studyId = 0;
    std::string studyUid;
    std::int64_t patientKey = 0;
    // <image store>/<study UID>/<SOP instance UID>.dcm; empty when a UID cannot name a file.
    std::filesystem::path file;
};

// What one removal took away.
struct Removal {
    std::vector<std::int64_t> images;
    std::vector<std::int64_t> series;
    std::vector<std::int64_t> studies;
    std::vector<std::int64_t> patients;
    std::vector<std::filesystem::path> files;         // to remove once committed
    std::vector<std::filesystem::path> studyFolders;  // to remove when empty

    bool removedStudy(std::int64_t studyId) const;
    bool removedSeries(std::int64_t seriesId) const;
    bool removedPatient(std::int64_t patientKey) const;
};

class ImageIndex {
public:
    ImageIndex(Database& db, std::filesystem::path imageStore) : db_(db), store_(std::move(imageStore)) {}

    std::optional<ImageRef> image(std::int64_t imageId);
    std::vector<ImageRef> imagesOfSeries(std::int64_t seriesId);
    std::vector<ImageRef> imagesOfStudy(std::int64_t studyId);
    std::vector<ImageRef> imagesOfPatient(std::int64_t patientKey);

    // Containers a removal also takes when they are empty (a delete of a patient takes its
    // study without images too).
    struct Containers {
        std::vector<std::int64_t> series;
        std::vector<std::int64_t> studies;
        std::vector<std::int64_t> patients;
        // The patients of the removed images go too when left empty (a plain study
        // delete keeps its patient).
        bool patientsOfImages = true;
    };
    // The series and studies of a patient, of a study, of a series (itself).
    Containers containersOfPatient(std::int64_t patientKey);
    Containers containersOfStudy(std::int64_t studyId);

    // Removes these images' rows and every container left empty (those of the images and
    // `alsoWhenEmpty`), in one transaction (throws corva::Error and changes nothing when
    // it fails). IDs already gone are skipped. `alsoInTransaction` runs in the same
    // transaction before it commits (what must happen together with the removal or not
    // at all); when it throws, nothing is removed. The files are not touched: call
    // removeFiles() once this returned.
    Removal removeImages(const std::vector<std::int64_t>& imageIds, const Containers& alsoWhenEmpty,
                         const std::function<void()>& alsoInTransaction = {});
    Removal removeImages(const std::vector<std::int64_t>& imageIds);
    // Removes the files of a committed removal, then the study folders left empty.
    // Each file goes under the write lock and only while no row names it: an image
    // received again since the commit (or filed twice) keeps its file. Returns the files
    // that could not be removed.
    std::vector<std::filesystem::path> removeFiles(const Removal& removal);
    // The files and study folders of removals whose rows were committed but whose files a
    // kill kept from going (removeImages() notes them in the same transaction, removeFiles()
    // clears the notes), removed now with the same care. Call it holding the job lock, at
    // the start of a program or a job. Returns the files removed or found gone.
    std::size_t finishInterruptedRemovals();

private:
    std::vector<ImageRef> images(const std::string& where, std::int64_t key);
    // Clears the note of a file or folder the removal is done with.
    void forgetNote(const std::filesystem::path& path);
    std::filesystem::path fileOf(const std::string& studyUid, const std::string& imageUid) const;

    Database& db_;
    std::filesystem::path store_;
};

}  // namespace corva::db
