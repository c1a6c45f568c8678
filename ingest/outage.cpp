#include "outage.h"

#include <algorithm>

#include "ingest_log.h"

namespace corva::ingest {

Outage::Outage(IngestLog& log, log::ServiceNote note) : log_(log), note_(std::move(note)) {}

void Outage::begin(const std::string& reason)
{
    if (reason != reason_) {
        log_.writeLog(0, reason + "; images wait in Temp and are tried again", "Outage");
        note_.set(reason);
        reason_ = reason;
    }
    pause_ = std::min(pause_ == 0 ? 1 : pause_ * 2, MaxPauseTicks);
    wait_ = pause_;
}

void Outage::end()
{
    if (!ongoing())
        return;
    log_.writeLog(0, "Filing resumes (it had stopped: " + reason_ + ")", "Outage");
    note_.set({});
    reason_.clear();
    pause_ = 0;
    wait_ = 0;
}

bool Outage::pauseThisTick()
{
    if (wait_ <= 0)
        return false;
    --wait_;
    return true;
}

}  // namespace corva::ingest
