// The frame reader with its header resynchronisation, over a port that serves the fuzz bytes.
// The tail of the input picks the reads (frames, awaited frames, single bytes, AT replies)
// and when the bursts arrive; the front is the line's bytes. All time is virtual.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "link/link.h"
#include "support/scripted_device.h"

using velmora::testing::FakeOpener;
using velmora::testing::ScriptedDevice;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  velmora::VirtualClock clock;
  ScriptedDevice device(clock);
  FakeOpener opener;
  opener.Add("COM1", &device);
  velmora::fuzz::SilentUser ui;
  velmora::Link link(clock, opener, ui);
  const velmora::LinkHandle h = link.Open(0, velmora::kDefaultBaudRate);
  if (h == velmora::kNoLink) __builtin_trap();
  link.SetTimeOut(h, in.ConsumeIntegralInRange<uint32_t>(1, 400));

  const int reads = in.ConsumeIntegralInRange<int>(1, 24);
  std::vector<uint8_t> ops;
  for (int i = 0; i < reads; ++i) ops.push_back(in.ConsumeIntegral<uint8_t>());
  // The line: bursts of bytes, each arriving a while after the one before.
  int64_t delayUs = 0;
  while (in.remaining_bytes() > 0) {
    const size_t burst = in.ConsumeIntegralInRange<size_t>(1, 48);
    delayUs += in.ConsumeIntegralInRange<int64_t>(0, 40) * 10'000;
    device.Feed(in.ConsumeBytes<uint8_t>(burst), delayUs);
  }

  uint8_t type = 0;
  uint8_t length = 0;
  uint8_t frame[velmora::kMaxFrameData];
  for (uint8_t op : ops) {
    switch (op % 5) {
      case 0:
        if (link.ReadFrame(h, &type, &length, frame) && (length == 0 || length > velmora::kMaxFrameData))
          __builtin_trap();
        break;
      case 1:
        if (link.AwaitFrame(h, static_cast<uint8_t>(op >> 3 ? 0x14 : 0), 0, &type, &length, frame) &&
            (length == 0 || length > velmora::kMaxFrameData))
          __builtin_trap();
        break;
      case 2: {
        uint8_t b = 0;
        link.GetByte(h, &b);
        break;
      }
      case 3: {
        uint8_t b = 0;
        link.GetByteTimed(h, &b, static_cast<uint32_t>(op >> 3) * 20);
        break;
      }
      case 4: {
        // A reply buffer of any size from 1 to 32 must come back zero-terminated inside it.
        const uint8_t room = static_cast<uint8_t>(1 + (op >> 3));
        std::vector<char> text(room, '\x7f');
        link.ReadReply(h, room, text.data());
        bool terminated = false;
        for (char c : text) terminated = terminated || c == '\0';
        if (!terminated) __builtin_trap();
        break;
      }
    }
  }
  link.Close(h);
  return 0;
}
