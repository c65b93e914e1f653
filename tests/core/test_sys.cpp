// The small platform utilities under Platform/Sys that the camera threads build on.
#include "Sys/LogThrottle.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using qx::sys::LogThrottle;
using qx::sys::SteadyClock;

TEST(LogThrottle, TheFirstEventIsReportedAndLaterOnesAreFoldedIntoOneLinePerInterval) {
    LogThrottle throttle(1000ms);
    const SteadyClock::time_point t0 = SteadyClock::now();
    EXPECT_EQ(throttle.note(t0), 1u);
    EXPECT_EQ(throttle.note(t0 + 10ms), 0u);
    EXPECT_EQ(throttle.note(t0 + 500ms), 0u);
    EXPECT_EQ(throttle.note(t0 + 999ms), 0u);
    // The line of the next interval carries every event since the last line.
    EXPECT_EQ(throttle.note(t0 + 1000ms), 4u);
    EXPECT_EQ(throttle.note(t0 + 1001ms), 0u);
    // After a quiet period the first event is reported at once again.
    EXPECT_EQ(throttle.note(t0 + 5000ms), 2u);
    EXPECT_EQ(throttle.total(), 7u);
}
