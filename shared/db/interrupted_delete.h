#pragma once
// "Delete all" moves every study folder of the image store aside to a hidden name inside
// the transaction that empties the image database, and removes the hidden folders only
// after the commit. A run that fails brings them back; a run that is killed leaves them
// hidden, with a note written before the first move: the folders it moved, under which
// names, and the keys of the rows it was about to delete. The next start (the station,
// corvactl, the ingest service) reads the note and decides by the database: a noted row
// still there means the commit never happened, and the folders come back under their
// names; none left means it did, and the hidden folders go.
//
//   Images/.delete-all-<token>.note     the note (written whole, then renamed into place)
//   Images/.deleting-<token>-<n>        a study folder moved aside
//
// A folder that comes back never replaces anything: when the ingest service filed an
// image of that study meanwhile (into a fresh folder of the study's name), the hidden
// files are moved in one by one beside it; an identical copy is dropped, a different file
// of the same name stays hidden and is logged. Hidden folders without a note (left by
// earlier versions) are decided image by image: those whose rows exist come back under
// their study's UID, a folder of images without rows goes.
//
// Everything here runs under the job lock (Data/.joblock, see the station's JobLock), so
// no other "delete all" runs meanwhile.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace corva::db {

class Database;

// The study folders of one "delete all", moved aside.
class AsideFolders {
public:
    // Inside the transaction that empties the image database (its write lock held, so no
    // row comes or goes until the commit): notes the rows present and every folder of the
    // store whose name does not start with '.', then moves those folders aside. Throws
    // corva::Error, with every folder in its place, when the note cannot be written or a
    // folder cannot be moved.
    static AsideFolders moveAside(Database& db, const std::filesystem::path& imageStore);

    std::size_t size() const { return folders_.size(); }

    // After the commit: removes the hidden folders, then the note; `eachDone` runs after
    // each folder. False when something stayed (logged; the next start removes it).
    bool remove(const std::function<void()>& eachDone = {});
    // After a rollback: every hidden folder back under its name, then the note goes.
    // False when something stayed hidden (logged; the next start tries again).
    bool restore();

    // A key range [first, last] of one table's rows.
    using Range = std::pair<std::int64_t, std::int64_t>;

private:
    friend struct NoteFile;
    AsideFolders() = default;

    std::filesystem::path store_;
    std::filesystem::path note_;
    // The keys of the rows present, per table (tblPatienten, tblStudies, tblSeries, tblImages).
    std::vector<std::pair<std::string, std::vector<Range>>> keys_;
    // Hidden name, original name.
    std::vector<std::pair<std::string, std::string>> folders_;
};

// What a start found of an interrupted "delete all".
struct InterruptedDeleteAll {
    int restored = 0;  // folders back under their names (merged into a fresh one included)
    int removed = 0;   // hidden folders removed, their rows being gone
    int kept = 0;      // hidden folders left, logged (a file of the same name, an error)
    bool skipped = false;  // the job lock was busy: nothing looked at
};

// Finishes or undoes what an interrupted "delete all" left in `imageStore`, decided by
// `imageDb`. The caller holds the job lock. Cheap when nothing was left. Never throws:
// what cannot be decided (no readable database) stays for the next start, logged.
InterruptedDeleteAll recoverInterruptedDeleteAll(const std::filesystem::path& imageDb,
                                                 const std::filesystem::path& imageStore);

// The same for a program that is no job (the ingest service): takes the job lock of
// `dataFolder` without waiting and does nothing when another holds it.
InterruptedDeleteAll recoverInterruptedDeleteAllWhenIdle(const std::filesystem::path& dataFolder,
                                                         const std::filesystem::path& imageDb,
                                                         const std::filesystem::path& imageStore);

// True when `imageStore` holds a note or a hidden folder of a "delete all".
bool hasInterruptedDeleteAll(const std::filesystem::path& imageStore);

}  // namespace corva::db
