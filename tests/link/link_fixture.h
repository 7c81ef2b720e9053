// A Link over one scripted port "COM1" under the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/link.h"
#include "support/scripted_device.h"

namespace velmora::testing {

using Bytes = std::vector<uint8_t>;

class LinkFixture : public ::testing::Test {
 protected:
  LinkFixture() { opener.Add("COM1", &device); }

  // Opens COM1 and forgets the open's own events and time, so tests see only their own.
  LinkHandle OpenCom1(uint32_t baud = kDefaultBaudRate) {
    h = link.Open(0, baud);
    EXPECT_NE(h, kNoLink);
    device.events.clear();
    start = clock.NowUs();
    return h;
  }
  int64_t ElapsedUs() { return clock.NowUs() - start; }
  uint32_t TimeOut() {
    uint32_t ms = 0;
    EXPECT_EQ(link.GetTimeOut(h, &ms), 1);
    return ms;
  }
  std::vector<ScriptedDevice::Event> EventsOf(ScriptedDevice::Kind kind) const {
    std::vector<ScriptedDevice::Event> out;
    for (const auto& e : device.events)
      if (e.kind == kind) out.push_back(e);
    return out;
  }

  VirtualClock clock;
  ScriptedDevice device{clock};
  FakeOpener opener;
  RecordingUi ui;
  Link link{clock, opener, ui};
  LinkHandle h = kNoLink;
  int64_t start = 0;
};

}  // namespace velmora::testing
