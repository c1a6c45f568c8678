#include "dose/projection.h"

#include <QStringList>
#include <array>
#include <utility>

#include "dose/exposure.h"

namespace corva::dose {
namespace {

struct Term {
    const char* text;
    View view;
};

// The standard View Position terms.
constexpr std::array<Term, 10> StandardTerms{{{"CC", View::CC},
                                              {"MLO", View::MLO},
                                              {"ML", View::ML},
                                              {"LM", View::LM},
                                              {"XCCL", View::XCCL},
                                              {"XCCM", View::XCCM},
                                              {"FB", View::FB},
                                              {"SIO", View::SIO},
                                              {"LMO", View::LMO},
                                              {"ISO", View::ISO}}};

// What follows the side letter in the reader's combined forms ("R OBLIQUE", "RLO", "LLD").
constexpr std::array<Term, 3> ReaderTerms{{{"OBLIQUE", View::MLO}, {"LO", View::MLO}, {"LD", View::CC}}};

// The units' projection codes beside the standard terms ("L-LMO45" is their oblique).
constexpr std::array<Term, 5> UnitTerms{
    {{"LMO45", View::MLO}, {"MLO45", View::MLO}, {"ML90", View::ML}, {"LM90", View::LM}, {"OBLIQUE", View::MLO}}};

// Upper case without blanks, hyphens and underscores: "l cc" and "L-CC" read alike.
QString compact(const QString& text) {
    QString out;
    for (const QChar c : text.trimmed().toUpper())
        if (c != QLatin1Char(' ') && c != QLatin1Char('-') && c != QLatin1Char('_')) out += c;
    return out;
}

template <std::size_t N>
View lookUp(const std::array<Term, N>& terms, const QString& text) {
    for (const Term& t : terms)
        if (text == QLatin1String(t.text)) return t.view;
    return View::Unknown;
}

Side sideOf(const QString& letter) {
    const QString s = letter.trimmed().toUpper();
    if (s == QLatin1String("L")) return Side::Left;
    if (s == QLatin1String("R")) return Side::Right;
    return Side::Unknown;  // "B" (both), "U" (unpaired) and anything else name no one side
}

Side sideOfLetter(QChar c) {
    if (c == QLatin1Char('L')) return Side::Left;
    if (c == QLatin1Char('R')) return Side::Right;
    return Side::Unknown;
}

QString text(const dicom::DataSet& header, dicom::Tag tag) {
    const dicom::Attribute a = header.get(tag);
    return a.exists ? QString::fromStdString(a.text) : QString();
}

}  // namespace

QString sideLetter(Side side) {
    switch (side) {
        case Side::Left: return QStringLiteral("L");
        case Side::Right: return QStringLiteral("R");
        case Side::Unknown: break;
    }
    return {};
}

QString viewTerm(View view) {
    for (const Term& t : StandardTerms)
        if (t.view == view) return QLatin1String(t.text);
    return {};
}

QString Projection::key() const {
    const QString s = sideLetter(side), v = viewTerm(view);
    return (s.isEmpty() ? QStringLiteral("?") : s) + QLatin1Char('-') + (v.isEmpty() ? QStringLiteral("?") : v);
}

QString HeaderProjection::describe() const {
    QStringList parts;
    parts << QStringLiteral("View Position \"%1\"").arg(viewPosition);
    if (!laterality.isEmpty()) parts << QStringLiteral("Laterality \"%1\"").arg(laterality);
    if (!imageLaterality.isEmpty()) parts << QStringLiteral("Image Laterality \"%1\"").arg(imageLaterality);
    return parts.join(QStringLiteral(", "));
}

HeaderProjection projectionFromHeader(const QString& viewPosition, const QString& laterality,
                                      const QString& imageLaterality) {
    HeaderProjection h;
    h.viewPosition = viewPosition;
    h.laterality = laterality;
    h.imageLaterality = imageLaterality;

    const QString vp = compact(viewPosition);
    Side vpSide = Side::Unknown;
    View view = lookUp(StandardTerms, vp);
    if (view == View::Unknown && vp.size() > 1) {
        // The reader's combined forms: a side letter, then a view ("LCC", "R OBLIQUE").
        const Side side = sideOfLetter(vp.front());
        const QString rest = vp.mid(1);
        View named = lookUp(StandardTerms, rest);
        if (named == View::Unknown) named = lookUp(ReaderTerms, rest);
        if (side != Side::Unknown && named != View::Unknown) {
            vpSide = side;
            view = named;
        }
    }

    const Side image = sideOf(imageLaterality), series = sideOf(laterality);
    // The image's own statement wins: "B" (both), "U" (unpaired) or two values name no
    // one side, whatever the series says.
    const bool imageNamesNoOneSide = !imageLaterality.trimmed().isEmpty() && image == Side::Unknown;
    Side headerSide = image != Side::Unknown ? image : series;
    if (image != Side::Unknown && series != Side::Unknown && image != series) h.sidesDisagree = true;
    if (vpSide != Side::Unknown) {
        h.sideFromViewPosition = true;
        if (headerSide != Side::Unknown && headerSide != vpSide) h.sidesDisagree = true;
        headerSide = vpSide;
    }
    h.projection.view = view;
    h.projection.side = h.sidesDisagree || imageNamesNoOneSide ? Side::Unknown : headerSide;
    return h;
}

HeaderProjection projectionOf(const dicom::DataSet& header) {
    return projectionFromHeader(text(header, {0x0018, 0x5101}), text(header, {0x0020, 0x0060}),
                                text(header, {0x0020, 0x0062}));
}

Projection projectionFromCode(const QString& code) {
    const QString c = compact(code);
    if (c.size() < 2) return {};
    Projection p;
    p.side = sideOfLetter(c.front());
    if (p.side == Side::Unknown) return {};
    const QString rest = c.mid(1);
    p.view = lookUp(StandardTerms, rest);
    if (p.view == View::Unknown) p.view = lookUp(UnitTerms, rest);
    if (p.view == View::Unknown) p.side = Side::Unknown;
    return p;
}

Projection recordProjection(const QString& sonstiges, int xrayType) {
    if (xrayType == unit::Sophie) {
        const QStringList items = sonstiges.split(QLatin1Char(','));
        return items.size() >= 4 ? projectionFromCode(items.at(3)) : Projection{};
    }
    if (xrayType == unit::Giotto) return projectionFromCode(sonstiges);
    return {};
}

}  // namespace corva::dose
