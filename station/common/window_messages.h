#pragma once
// The list fills of the browser still let window messages run between rows, so that a
// click during a long fill takes the list over (each fill checks emptiedCount() after
// this). Kept in this one place until the fills report by signal as the study loading
// is meant to.
#include <QCoreApplication>

namespace corva::station {

inline void letWindowMessagesRun() {
    QCoreApplication::processEvents();
}

}  // namespace corva::station
