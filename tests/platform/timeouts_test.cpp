// Deadlines and the wait of a read that times itself, under the virtual clock.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace velmora {
namespace {

TEST(Deadline, CountsDownOnItsClock) {
  VirtualClock clock(1'000);
  const Deadline d(clock, 500);
  EXPECT_EQ(d.atUs(), 1'500);
  EXPECT_EQ(d.LeftUs(), 500);
  EXPECT_FALSE(d.Passed());
  clock.SleepUs(499);
  EXPECT_FALSE(d.Passed());
  clock.SleepUs(1);
  EXPECT_TRUE(d.Passed());
  clock.SleepUs(100);
  EXPECT_EQ(d.LeftUs(), -100);
}

TEST(ReadWait, TotalAndIntervalTimeOuts) {
  // readInterval, readMultiplier, readConstant (ms); a read of 4 bytes.
  struct Case {
    const char* what;
    SerialTimeouts timeouts;
    bool noWait;
    int64_t leftBeforeAnyByte;  // after 1 ms
    int64_t leftAfterAByte;     // a byte at 1 ms, asked at 2 ms
  };
  const Case cases[] = {
      {"total only", {0, 10, 100, 0, 0}, false, 139'000, 138'000},
      {"interval shortens the wait once a byte came", {5, 10, 100, 0, 0}, false, 139'000, 4'000},
      {"all-ones interval is no interval", {0xFFFFFFFFu, 10, 100, 0, 0}, false, 139'000, 138'000},
      {"interval longer than what is left", {500, 0, 20, 0, 0}, false, 19'000, 18'000},
      {"nothing set: no wait", {0, 0, 0, 0, 0}, true, -1'000, -2'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadWait::NoWait(c.timeouts), c.noWait);
    VirtualClock clock;
    ReadWait wait(clock, c.timeouts, 4);
    clock.SleepUs(1'000);
    EXPECT_EQ(wait.LeftUs(0), c.leftBeforeAnyByte);
    wait.BytesCame();
    clock.SleepUs(1'000);
    EXPECT_EQ(wait.LeftUs(1), c.leftAfterAByte);
  }
}

}  // namespace
}  // namespace velmora
