#pragma once
// The hand-over files in the program folder: the link appends each record it framed to
// cInput.txt (a record may also be placed there by hand for "Fill"); the parse takes the
// file over and moves it to done.txt, which stays as the trace of the last take-over.
// Both hold the records' bytes as received (one byte per character), one a line.
#include <QString>
#include <filesystem>
#include <optional>

namespace corva::dose {

class HandOverFiles {
public:
    explicit HandOverFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}

    std::filesystem::path inputFile() const { return folder_ / "cInput.txt"; }
    std::filesystem::path doneFile() const { return folder_ / "done.txt"; }

    // Appends the record followed by CR LF, creating the file. Throws corva::Error.
    void append(const QString& record) const;
    // When cInput.txt exists: its whole text; done.txt is replaced by cInput.txt.
    // std::nullopt when there is nothing to take over. Throws corva::Error.
    std::optional<QString> takeOver() const;
    // Deletes cInput.txt if it exists.
    void removeInput() const;

private:
    std::filesystem::path folder_;
};

}  // namespace corva::dose
