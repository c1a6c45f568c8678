#pragma once
// Cuts the text the X-ray unit sends into records, whatever the serial reads split or
// join. No port and no parsing: the link feeds it what each read brought.
//
//   Sophie: a record runs from "Name:" to the end of the line that holds the dose token
//           ("...mGy"). The line may end with CR LF, LF or CR; when the dose has arrived
//           but the line end has not, the record ends with what has arrived (the dose is
//           the last value the parse needs) or just before the next "Name:".
//   Giotto: a record runs from start-of-text (0x02) to end-of-text (0x03), both kept.
//
// Text outside a record is noise and is skipped. A record start followed by the next
// record's start before its end, and a record end without its start, are bad pieces:
// handed out as such so that the link can report them instead of parsing them.
#include <QString>
#include <limits>
#include <vector>

namespace corva::dose {

// Start-of-text, the first character of a Giotto record.
inline constexpr char16_t StartOfText = 0x02;

struct Frame {
    enum class Kind {
        Record,    // start to end (or, at the end of a complete text, a start without its end)
        CutOff,    // a start, then the next record's start before any end
        Headless,  // an end without a start before it (the start was lost)
    };
    Kind kind = Kind::Record;
    QString text;
    bool operator==(const Frame&) const = default;
};

class RecordFramer {
public:
    // Received text that holds no record yet is kept up to this size; beyond it the
    // oldest text goes, down to three quarters, so that the rest keeps arriving in place.
    static constexpr qsizetype DefaultLimit = 64 * 1024;

    explicit RecordFramer(int xrayType = 0, qsizetype limit = DefaultLimit);

    // Another unit type frames by its own markers; what is pending is dropped.
    void setUnitType(int xrayType);
    int unitType() const { return type_; }

    // Adds what a read brought and hands out every frame it completed, in order. Another
    // unit type than Sophie or Giotto never completes a frame.
    std::vector<Frame> feed(const QString& piece);
    // The input has ended (a file): a pending record start becomes a Record frame without
    // its end; noise is dropped. Nothing stays pending.
    std::vector<Frame> finish();

    // What arrived and is no frame yet: a partial record and the noise before it.
    const QString& pending() const { return pending_; }
    void setPending(const QString& text) { pending_ = text; }
    void clear() { pending_.clear(); }
    // Whether the last feed dropped the oldest pending text to stay within the limit.
    bool cutByLastFeed() const { return cut_; }

private:
    struct Markers;
    const Markers* markers() const;
    std::vector<Frame> extract();

    int type_;
    qsizetype limit_;
    QString pending_;
    bool cut_ = false;
};

// The frames of a complete text (cInput.txt, or what waits when "Fill" is chosen): the
// stream's frames and the record started last even without its end. A text with no
// record marker at all is one Record frame, so that "Fill" always reports what it found.
std::vector<Frame> frameText(const QString& text, int xrayType);

}  // namespace corva::dose
