#pragma once
// The configuration tests start from an empty settings key and fresh flags: the
// windows write the key, and a test must not see what an earlier one saved.
#include <QSettings>

#include "common/config_state.h"
#include "settings/settings.h"
#include "station_test_support.h"

namespace corva::station::test {

class ConfigTest : public StationTest {
protected:
    void SetUp() override {
        QSettings(QStringLiteral("ZKT"), QStringLiteral("Lumenpost")).clear();
        StationTest::SetUp();
        configState() = ConfigState{};
    }
};

}  // namespace corva::station::test
