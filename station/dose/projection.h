#pragma once
// The projection of a mammogram (breast side and view), read one way for pairing
// images with exposure records and for the conversion alike. Images name it by the
// standard terms (View Position "CC", "MLO", ... with Laterality or Image Laterality
// "L"/"R") or by the reader's combined forms ("L CC", "LCC", "R OBLIQUE", "RLO");
// exposure records by the unit's projection code ("L-CC", "R-LMO45").
#include <QString>

#include "dicom/dicom.h"

namespace corva::dose {

enum class Side { Unknown, Left, Right };

// The mammography views an image or a record can name.
enum class View { Unknown, CC, MLO, ML, LM, XCCL, XCCM, FB, SIO, LMO, ISO };

struct Projection {
    Side side = Side::Unknown;
    View view = View::Unknown;

    // Both side and view are known: only such a projection is paired automatically.
    bool known() const { return side != Side::Unknown && view != View::Unknown; }
    // "L-CC", "R-MLO"; "?" stands for an unknown part ("L-?").
    QString key() const;
    bool operator==(const Projection&) const = default;
};

// "L", "R" or empty.
QString sideLetter(Side side);
// The standard View Position term ("CC", "MLO"); empty for Unknown.
QString viewTerm(View view);

// What the header says about one image's projection, and where each part came from.
struct HeaderProjection {
    Projection projection;
    QString viewPosition;      // as the header holds it
    QString laterality;        // (0020,0060)
    QString imageLaterality;   // (0020,0062)
    // The View Position names a side itself (a combined form of the reader).
    bool sideFromViewPosition = false;
    // The header names two different sides: the side is left unknown.
    bool sidesDisagree = false;
    // A short account for the operator ("View Position \"CC\", Image Laterality \"L\"").
    QString describe() const;
};

// Reads the projection from View Position, Laterality and Image Laterality.
HeaderProjection projectionFromHeader(const QString& viewPosition, const QString& laterality,
                                      const QString& imageLaterality);
HeaderProjection projectionOf(const dicom::DataSet& header);

// A record's projection: for a Sophie unit the fourth comma-separated item of the
// record's further values (the unit's projection code), for a Giotto unit the
// projection button the operator clicked. Unknown when the text names none.
Projection recordProjection(const QString& sonstiges, int xrayType);
// A projection code or caption: "L-CC", "R-LMO45", "L-MLO", "RCC" (any case).
Projection projectionFromCode(const QString& code);

}  // namespace corva::dose
