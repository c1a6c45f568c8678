#pragma once
// The date and time forms written into log lines and stored in the databases.
#include <QDateTime>
#include <string>

namespace corva {

// The general date form of log lines: short date, a blank, long time ("09.12.2026 14:03:07").
std::string generalDate(const QDateTime& when = QDateTime::currentDateTime());

// Stored forms (ISO 8601): a date "yyyy-MM-dd", a date with time "yyyy-MM-dd HH:mm:ss".
std::string isoDate(const QDate& d);
std::string isoDateTime(const QDateTime& dt);

}  // namespace corva
