#pragma once
// The one error type of the core: a code, a message and where it came from.
// Foreign status codes (SQLite, DCMTK, errno) are turned into it at the edge.
#include <stdexcept>
#include <string>

namespace corva {

class Error : public std::runtime_error {
public:
    Error(int code, std::string message, std::string where = {})
        : std::runtime_error(message), code_(code), message_(std::move(message)), where_(std::move(where)) {}

    int code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const std::string& where() const noexcept { return where_; }

private:
    int code_;
    std::string message_;
    std::string where_;
};

// Error codes of our own, used where no foreign code exists.
namespace errc {
constexpr int Generic = 1;
constexpr int NotFound = 53;          // file or object not found
constexpr int InvalidName = 5;        // an outside name refused (UID, column name)
constexpr int TypeMismatch = 13;      // a value that cannot be converted
constexpr int NotDicom = 1001;        // a file that is not DICOM
constexpr int CharsetEncode = 1002;   // a text the object's character set cannot hold
constexpr int Network = 1003;         // association or transfer failed
constexpr int Database = 3000;        // base of SQLite codes (3000 + sqlite result code)
}  // namespace errc

}  // namespace corva
