#pragma once
// An outage of the store: while the image database or the disk fails, files wait in
// Temp uncounted and are tried again after a pause that doubles from one tick up to
// MaxPauseTicks, so filing resumes within a few seconds of the fault's end. The log
// gets one line when an outage begins (or its reason changes) and one when it ends;
// meanwhile the service note tells the operator why nothing is filed.
#include <string>

#include "log/service_note.h"

namespace corva::ingest {

class IngestLog;

class Outage {
public:
    static constexpr int MaxPauseTicks = 8;

    Outage(IngestLog& log, log::ServiceNote note);

    // The store failed for `reason` ("Ingrado cannot write the image database: disk full").
    void begin(const std::string& reason);
    // Filing works again.
    void end();
    bool ongoing() const { return !reason_.empty(); }
    const std::string& reason() const { return reason_; }
    // Counts the pause down: true when this tick is to be left out.
    bool pauseThisTick();

private:
    IngestLog& log_;
    log::ServiceNote note_;
    std::string reason_;
    int pause_ = 0;
    int wait_ = 0;
};

}  // namespace corva::ingest
