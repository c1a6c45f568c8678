// Qt's plain offscreen platform has an 800 x 800 screen: the start refuses it.
#include <QSignalSpy>

#include "app/splash_form.h"
#include "app/startup.h"
#include "station_test_support.h"

namespace corva::station::test {
namespace {

class SmallScreenTest : public StationTest {};

TEST_F(SmallScreenTest, StartShowsTheResolutionMessageAndEnds) {
    Startup start;
    QSignalSpy ended(&start, &Startup::ended);
    EXPECT_FALSE(start.begin());
    EXPECT_EQ(ended.count(), 1);
    ASSERT_EQ(op_.shown().size(), 1u);
    EXPECT_EQ(op_.shown()[0].text,
              "ATTENTION!\r\nA screen resolution of 1024x768 pixel is required for this application!");
    EXPECT_EQ(op_.shown()[0].buttons, MsgButtons::OK);
    EXPECT_EQ(start.mainForm(), nullptr);
    EXPECT_FALSE(start.splash()->isVisible());
}

}  // namespace
}  // namespace corva::station::test
