#include "archive_policy.h"

#include <stdexcept>

namespace corva::test::archive {

namespace {

std::uint16_t hexStatus(const std::string& text) {
    std::size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(text, &used, 16);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.size() != 4 || used != 4) throw std::invalid_argument("not a four-digit hex status: " + text);
    return static_cast<std::uint16_t>(v);
}

int positive(const std::string& text, const std::string& option) {
    std::size_t used = 0;
    int v = -1;
    try {
        v = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || v < 0) throw std::invalid_argument(option + " wants a whole number, not " + text);
    return v;
}

// "K=HEX"
std::pair<int, std::uint16_t> numberAndStatus(const std::string& text, const std::string& option) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) throw std::invalid_argument(option + " wants K=<hex status>, not " + text);
    const int k = positive(text.substr(0, eq), option);
    if (k == 0) throw std::invalid_argument(option + ": K starts at 1");
    return {k, hexStatus(text.substr(eq + 1))};
}

}  // namespace

Answer Policy::answerFor(int n) const {
    Answer a;
    if (interruption != Interruption::None && n > interruptAfter) {
        a.interruption = interruption;
        return a;
    }
    bool chosen = false;
    for (const auto& [which, status] : statusFor)
        if (which == n) {
            a.status = status;
            chosen = true;
        }
    for (const EveryKth& e : statusEvery)
        if (!chosen && n % e.k == 0) {
            a.status = e.status;
            chosen = true;
        }
    if (!chosen && warn) a.status = *warn;
    if (a.status != 0x0000) a.comment = comment;
    return a;
}

Policy parsePolicy(const std::vector<std::string>& args) {
    Policy p;
    std::optional<int> refuseEvery;
    std::uint16_t refuseStatus = 0xA700;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(option + " wants a value");
            return args[++i];
        };
        auto interruptAfter = [&](Interruption kind) {
            if (p.interruption != Interruption::None) throw std::invalid_argument("one interruption at a time");
            p.interruption = kind;
            p.interruptAfter = positive(value(), option);
        };
        if (option == "--port") p.port = positive(value(), option);
        else if (option == "--aet") p.aet = value();
        else if (option == "--out") p.out = value();
        else if (option == "--log") p.log = value();
        else if (option == "--status-for") p.statusFor.push_back(numberAndStatus(value(), option));
        else if (option == "--status-for-every") {
            const auto [k, status] = numberAndStatus(value(), option);
            p.statusEvery.push_back({k, status});
        } else if (option == "--warn") {
            const std::uint16_t w = hexStatus(value());
            if ((w & 0xF000) != 0xB000) throw std::invalid_argument("--warn wants a Bxxx status");
            p.warn = w;
        } else if (option == "--comment") p.comment = value();
        else if (option == "--refuse-every") {
            refuseEvery = positive(value(), option);
            if (*refuseEvery == 0) throw std::invalid_argument("--refuse-every starts at 1");
        } else if (option == "--refuse-status") refuseStatus = hexStatus(value());
        else if (option == "--abort-after") interruptAfter(Interruption::Abort);
        else if (option == "--release-after") interruptAfter(Interruption::Release);
        else if (option == "--close-after") interruptAfter(Interruption::Close);
        else if (option == "--stall-after") interruptAfter(Interruption::Stall);
        else if (option == "--hold-after") interruptAfter(Interruption::Hold);
        else if (option == "--commit") {
            const std::string how = value();
            if (how == "same") p.commit = CommitAnswer::Same;
            else if (how == "later") p.commit = CommitAnswer::Later;
            else if (how == "none") p.commit = CommitAnswer::None;
            else if (how == "gone") p.commit = CommitAnswer::Gone;
            else throw std::invalid_argument("--commit wants same, later, none or gone, not " + how);
        } else if (option == "--commit-to") {
            const std::string to = value();
            const auto at = to.find('@');
            const auto colon = to.rfind(':');
            if (at == std::string::npos || colon == std::string::npos || colon < at)
                throw std::invalid_argument("--commit-to wants <AET>@<host>:<port>, not " + to);
            p.commitToAet = to.substr(0, at);
            p.commitToHost = to.substr(at + 1, colon - at - 1);
            p.commitToPort = positive(to.substr(colon + 1), option);
        } else if (option == "--commit-delay") p.commitDelaySeconds = positive(value(), option);
        else if (option == "--commit-fail-every") p.commitFailEvery = positive(value(), option);
        else if (option == "--commit-lie") {
            const std::string how = value();
            if (how == "both") p.commitLie = CommitLie::Both;
            else if (how == "wrong-class") p.commitLie = CommitLie::WrongClass;
            else if (how == "fail-then-commit") p.commitLie = CommitLie::FailThenCommit;
            else throw std::invalid_argument("--commit-lie wants both, wrong-class or fail-then-commit, not " + how);
        }
        else throw std::invalid_argument("unknown option " + option);
    }
    if (refuseEvery) {
        if (refuseStatus == 0x0000 || (refuseStatus & 0xF000) == 0xB000)
            throw std::invalid_argument("--refuse-status wants a failure status");
        p.statusEvery.push_back({*refuseEvery, refuseStatus});
    }
    if (p.port <= 0 || p.port > 65535) throw std::invalid_argument("--port wants a port number");
    if (p.out.empty()) throw std::invalid_argument("--out wants a folder");
    if (p.log.empty()) p.log = p.out + ".log";
    if (p.commit == CommitAnswer::Later && p.commitToPort == 0)
        throw std::invalid_argument("--commit later wants --commit-to <AET>@<host>:<port>");
    return p;
}

const char* usage() {
    return "corva_test_archive --port N --out <folder> [--aet ARCHIVE] [--log <file>]\n"
           "  [--status-for N=<hex>]... [--status-for-every K=<hex>]... [--warn Bxxx] [--comment <text>]\n"
           "  [--refuse-every K [--refuse-status A700]]\n"
           "  [--abort-after N | --release-after N | --close-after N | --stall-after N | --hold-after N]\n"
           "  [--commit same|later|none|gone] [--commit-to <AET>@<host>:<port>] [--commit-delay S]\n"
           "  [--commit-fail-every K] [--commit-lie both|wrong-class|fail-then-commit]\n"
           "Storage commitment: an instance is committed when the archive holds it (and is not\n"
           "a K-th one); the report comes on the request's association, later on a new one\n"
           "(tried again each second until it is taken), or never; gone: the archive ends once the\n"
           "association that stored objects ends, so the request finds nobody. Each delivered report is a\n"
           "line \"<transaction UID>\\t<committed>\\t<failed>\" of <log>.commit. --commit-lie: each\n"
           "committed instance is also listed as failed (both), or named under another SOP\n"
           "class (wrong-class), or (later) a report failing every instance is followed by one\n"
           "committing them (fail-then-commit).\n"
           "Objects are counted over the whole run from 1. Prints \"ready <port>\" once it listens.\n";
}

std::string answerText(const Answer& answer) {
    switch (answer.interruption) {
        case Interruption::Abort: return "abort";
        case Interruption::Release: return "release";
        case Interruption::Close: return "close";
        case Interruption::Stall: return "stall";
        case Interruption::Hold: return "hold";
        case Interruption::None: break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", answer.status);
    return hex;
}

}  // namespace corva::test::archive
