#include "core/datefmt.h"

namespace corva {

std::string generalDate(const QDateTime& when)
{
    return when.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")).toStdString();
}

std::string isoDate(const QDate& d)
{
    return d.toString(QStringLiteral("yyyy-MM-dd")).toStdString();
}

std::string isoDateTime(const QDateTime& dt)
{
    return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
}

}  // namespace corva
