#include "app/program_version.h"

namespace corva::station {

QString versionText(const ProgramVersion& v, bool padRevision) {
    QString rev = QString::number(v.revision);
    if (padRevision && rev.size() < 2) rev = QString(2 - rev.size(), '0') + rev;
    return QString("%1.%2.%3").arg(v.major).arg(v.minor).arg(rev);
}

}  // namespace corva::station
