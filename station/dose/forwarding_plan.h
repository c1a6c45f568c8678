#pragma once
// Which exposure record goes on which image when a study is forwarded "Automatic":
// a plain decision over the images' headers and the pending records, made before
// anything is converted or sent. Either every image gets exactly one record of its
// own projection, each record used once, or the plan refuses and says why. There is
// no fallback to any other record.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "dose/dose_store.h"
#include "dose/projection.h"

namespace corva::dose {

// One image of the study as the plan sees it.
struct PlanImage {
    std::string sopInstanceUid;
    std::int64_t imageId = 0;  // tblImages key, 0 when not known
    int position = 0;          // 1-based place in the image list, for the operator
    HeaderProjection projection;
    std::optional<QDateTime> taken;  // acquisition, else content date and time
    int instanceNumber = 0;
    QString patientName;  // (0010,0010)
};

// One pending exposure record as the plan sees it.
struct PlanRecord {
    DoseRow row;
    Projection projection;
    QString projectionText;          // what the record says (its further values)
    std::optional<QDateTime> time;   // Datum and Zeit of the record
};

struct PlanPair {
    std::string sopInstanceUid;
    std::int64_t imageId = 0;
    int position = 0;
    std::int64_t recordId = 0;
    DoseRow record;
    QString reason;  // "L-CC", "R-MLO, 2nd of 2 by time"
};

// How far a record's time may lie from its image's: a record is made at the exposure and
// the plate is read within minutes; the reader's and the station's clocks may differ a little.
inline constexpr int RecordBeforeImageMinutes = 60;
inline constexpr int RecordAfterImageMinutes = 30;

class ForwardingPlan {
public:
    // Pairs by projection (side and view); several images of one projection take that
    // projection's records in time order. Refuses when an image's projection cannot be
    // read, a record names no projection, a projection's image and record counts
    // differ, records wait for projections the study does not have, one image is listed
    // twice, the order of a projection's images is not known, a record's time cannot be
    // its image's (another day, long before, or after it), or the unit named another
    // patient than the image's.
    static ForwardingPlan make(std::vector<PlanImage> images, const std::vector<PlanRecord>& records);

    bool holds() const { return refusals_.isEmpty() && !pairs_.empty(); }
    const std::vector<PlanPair>& pairs() const { return pairs_; }
    // Each reason the plan refuses, one line each; empty when it holds.
    const QStringList& refusals() const { return refusals_; }
    const PlanPair* pairFor(const std::string& sopInstanceUid) const;

    // The pairs as the operator checks them before anything is sent, one line each:
    // "Image 1 (L-CC)  <-  record 10:31:02, 28 kV, 63 mAs, 1,2 mGy".
    QStringList describePairs() const;
    // What the operator is told when the plan refuses: the reasons and what to do.
    QString refusalMessage() const;

private:
    std::vector<PlanPair> pairs_;
    QStringList refusals_;
};

// The plan's view of an image header (`position` counts from 1) and of a dose row.
PlanImage planImage(const dicom::DataSet& header, const std::string& sopInstanceUid, int position,
                    std::int64_t imageId = 0);
PlanRecord planRecord(const DoseRow& row, int xrayType);

// Whether the unit's name for a patient ("MUELLER ANNA", cut short or not) is the
// image's Patient Name ("Mueller^Anna"): each of its words is a word of the image's, or
// (six letters or more) the beginning of one.
bool namesMatch(const QString& unitName, const QString& patientName);

// A record's dose for the operator: "1.2 mGy" (the unit's own "1.10mGy" as it is).
QString doseText(const QString& mGy);

// The values of a record as the conversion writes them.
CurrentExposure exposureOf(const DoseRow& row);

}  // namespace corva::dose
