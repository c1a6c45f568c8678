#pragma once
// What the test archive answers: the status for each object it receives, in the order
// received (counted over the whole run), and how it breaks off a transfer. Plain data
// read from the command line, so that a new misbehaviour is one more field and option.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corva::test::archive {

// How the archive leaves an object unanswered.
enum class Interruption {
    None,
    Abort,    // A-ABORT as soon as the object's command arrives
    Release,  // asks for a release itself instead of answering
    Close,    // closes the connection without a word
    Stall,    // takes the object and never answers
    Hold,     // stores the object and never answers
};

// The answer to one object: a DIMSE status, or an interruption.
struct Answer {
    Interruption interruption = Interruption::None;
    std::uint16_t status = 0x0000;
    std::string comment;  // Error Comment (0000,0902) sent with a status other than 0000
    // Stored (success and warning statuses) or not.
    bool stores() const {
        return interruption == Interruption::None && (status == 0x0000 || (status & 0xF000) == 0xB000);
    }
};

// How the archive answers a storage commitment request.
enum class CommitAnswer {
    Same,   // the report on the request's association, at once
    Later,  // the report on a new association to commitTo, after commitDelaySeconds
    None,   // the request is taken, no report ever comes
    Gone,   // the archive ends once the association that stored objects ends
};

// How the archive's report lies about the instances it commits.
enum class CommitLie {
    None,
    Both,        // each committed instance is also listed as failed, in the same report
    WrongClass,  // each committed instance is named under another SOP class
    FailThenCommit,  // later: a first report fails every instance, a second commits them
};

struct Policy {
    struct EveryKth {
        int k = 0;
        std::uint16_t status = 0;
    };
    std::string aet = "ARCHIVE";
    int port = 0;
    std::string out;  // folder of the stored objects, <SOP instance UID>.dcm
    std::string log;  // one line per object: "<SOP instance UID>\t<answer>"
    std::vector<std::pair<int, std::uint16_t>> statusFor;  // object n (1-based) -> status
    std::vector<EveryKth> statusEvery;                     // every k-th object -> status
    std::optional<std::uint16_t> warn;                      // all other objects
    std::string comment;
    Interruption interruption = Interruption::None;
    int interruptAfter = 0;  // objects answered before the interruption starts
    CommitAnswer commit = CommitAnswer::Same;
    std::string commitToAet;   // Later: the requester's receiver
    std::string commitToHost;
    int commitToPort = 0;
    int commitDelaySeconds = 0;
    int commitFailEvery = 0;   // every K-th instance of a request is reported failed (0: none)
    CommitLie commitLie = CommitLie::None;

    // The answer to the n-th object received (1-based).
    Answer answerFor(int n) const;
};

// Reads the command line; throws std::invalid_argument naming what is wrong.
Policy parsePolicy(const std::vector<std::string>& args);
// The usage text.
const char* usage();
// "0000", "B000", "A700"...; "abort", "release", "close", "stall".
std::string answerText(const Answer& answer);

}  // namespace corva::test::archive
