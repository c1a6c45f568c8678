#include "dose/record_framer.h"

#include "dose/exposure.h"
#include "dose/exposure_parser.h"

namespace corva::dose {

struct RecordFramer::Markers {
    QString start;
    QString end;
    // Sophie: the record goes on to the end of the line that holds the end marker.
    bool toLineEnd;
};

namespace {

// Where a record ends: its text stops before `text`, the input is used up to `consumed`.
struct Stop {
    qsizetype text;
    qsizetype consumed;
};

bool isLineEnd(QChar c) { return c == QLatin1Char('\r') || c == QLatin1Char('\n'); }

}  // namespace

RecordFramer::RecordFramer(int xrayType, qsizetype limit) : type_(xrayType), limit_(limit) {}

void RecordFramer::setUnitType(int xrayType) {
    if (xrayType == type_) return;
    type_ = xrayType;
    pending_.clear();
}

const RecordFramer::Markers* RecordFramer::markers() const {
    static const Markers sophie{QStringLiteral("Name:"), QStringLiteral("mGy"), true};
    static const Markers giotto{QString(QChar(StartOfText)), QString(QChar(EndOfText)), false};
    if (type_ == unit::Sophie) return &sophie;
    if (type_ == unit::Giotto) return &giotto;
    return nullptr;
}

std::vector<Frame> RecordFramer::feed(const QString& piece) {
    pending_ += piece;
    std::vector<Frame> frames = extract();
    cut_ = pending_.size() > limit_;
    if (cut_) pending_.remove(0, pending_.size() - limit_ / 4 * 3);
    return frames;
}

std::vector<Frame> RecordFramer::finish() {
    std::vector<Frame> frames = extract();
    if (const Markers* m = markers()) {
        const qsizetype start = pending_.indexOf(m->start);
        if (start >= 0) frames.push_back({Frame::Kind::Record, pending_.mid(start).trimmed()});
    }
    pending_.clear();
    cut_ = false;
    return frames;
}

std::vector<Frame> RecordFramer::extract() {
    std::vector<Frame> frames;
    const Markers* m = markers();
    if (!m) return frames;

    // The end of the record whose end marker is at `endAt`; `limit` is where the next
    // record starts (or the end of what arrived).
    const auto stopAt = [&](qsizetype endAt, qsizetype limit) -> Stop {
        const qsizetype after = endAt + m->end.size();
        if (!m->toLineEnd) return {after, after};
        for (qsizetype i = after; i < limit; ++i) {
            if (!isLineEnd(pending_.at(i))) continue;
            const bool crlf = pending_.at(i) == QLatin1Char('\r') && i + 1 < pending_.size() &&
                              pending_.at(i + 1) == QLatin1Char('\n');
            return {i, i + (crlf ? 2 : 1)};
        }
        return {limit, limit};
    };
    const auto take = [&](Frame::Kind kind, qsizetype from, Stop stop) {
        frames.push_back({kind, pending_.mid(from, stop.text - from).trimmed()});
        pending_.remove(0, stop.consumed);
    };

    for (;;) {
        const qsizetype start = pending_.indexOf(m->start);
        const qsizetype end = pending_.indexOf(m->end);
        if (end >= 0 && (start < 0 || end < start)) {
            take(Frame::Kind::Headless, 0, stopAt(end, start < 0 ? pending_.size() : start));
            continue;
        }
        if (start < 0) break;  // noise only: kept, so the raw input shows it, until a record follows
        const qsizetype inside = start + m->start.size();
        const qsizetype next = pending_.indexOf(m->start, inside);
        const qsizetype stop = pending_.indexOf(m->end, inside);
        if (stop >= 0 && (next < 0 || stop < next)) {
            take(Frame::Kind::Record, start, stopAt(stop, next < 0 ? pending_.size() : next));
        } else if (next >= 0) {
            take(Frame::Kind::CutOff, start, {next, next});
        } else {
            break;  // a partial record: the next read goes on with it
        }
    }
    return frames;
}

std::vector<Frame> frameText(const QString& text, int xrayType) {
    RecordFramer framer(xrayType, std::numeric_limits<qsizetype>::max());
    std::vector<Frame> frames = framer.feed(text);
    for (Frame& f : framer.finish()) frames.push_back(std::move(f));
    const bool known = xrayType == unit::Sophie || xrayType == unit::Giotto;
    const QString whole = text.trimmed();
    if (frames.empty() && known && !whole.isEmpty()) frames.push_back({Frame::Kind::Record, whole});
    return frames;
}

}  // namespace corva::dose
