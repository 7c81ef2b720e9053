// Replies of a handset through the handset services: service replies with "P" and status
// bytes, block-store replies, product number, IMEI and AT answers. The port is scripted: every
// write the program makes is answered with the next reply of the input, shaped as a service
// frame with a good check byte, as a frame of any type, or as raw bytes, after a delay that
// may pass the time-outs. The tail of the input picks the commands. All time is virtual.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "protocol/frame.h"
#include "fuzz_support.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "link/link.h"
#include "support/scripted_device.h"

using velmora::LinkHandle;
using velmora::StoreArea;
using velmora::testing::FakeOpener;
using velmora::testing::ScriptedDevice;

namespace {

struct Reply {
  std::vector<uint8_t> bytes;
  int64_t delayUs = 0;
};

Reply NextReply(FuzzedDataProvider& in) {
  Reply r;
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  r.delayUs = (shape & 0x80) ? int64_t{in.ConsumeIntegral<uint8_t>()} * 25'000 : 2'000;
  std::vector<uint8_t> body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 34));
  switch (shape & 3) {
    case 0:
    case 1: {  // a service frame whose last byte checks the others
      if (body.size() > velmora::kMaxFrameData - 1) body.resize(velmora::kMaxFrameData - 1);
      body.push_back(velmora::protocol::XorCheck(body.data(), body.size()));
      const uint8_t type = (shape & 1) ? static_cast<uint8_t>(shape >> 2) : velmora::protocol::kFrameService;
      r.bytes = velmora::protocol::FrameBytes(type, body);
      break;
    }
    case 2: {  // a frame header as it comes, whatever it claims
      r.bytes = velmora::protocol::FrameBytes(static_cast<uint8_t>(shape >> 2), body);
      break;
    }
    default:
      r.bytes = std::move(body);
      break;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  velmora::VirtualClock clock;
  ScriptedDevice device(clock);
  FakeOpener opener;
  opener.Add("COM1", &device);
  velmora::fuzz::SilentUser ui;
  velmora::Link link(clock, opener, ui);
  velmora::ServiceCommands store(link);
  const velmora::LinkSettings settings;
  velmora::HandsetSession session(link, ui, settings);
  const LinkHandle h = link.Open(0, velmora::kDefaultBaudRate);
  if (h == velmora::kNoLink) __builtin_trap();

  const int commands = in.ConsumeIntegralInRange<int>(1, 12);
  std::vector<uint8_t> picks;
  for (int i = 0; i < commands; ++i) picks.push_back(in.ConsumeIntegral<uint8_t>());
  std::deque<Reply> replies;
  while (in.remaining_bytes() > 0 && replies.size() < 256) replies.push_back(NextReply(in));
  device.onWrite = [&replies](ScriptedDevice& d, const std::vector<uint8_t>&) {
    if (replies.empty()) return;
    d.Feed(replies.front().bytes, replies.front().delayUs);
    replies.pop_front();
  };

  uint8_t buffer[300];
  uint16_t size16 = 0;
  uint8_t version = 0;
  uint32_t a = 0;
  uint32_t b = 0;
  uint32_t c = 0;
  char imei[17];
  for (uint8_t pick : picks) {
    const StoreArea area = (pick & 0x80) ? StoreArea::Eefull : StoreArea::Eelite;
    const auto number = static_cast<uint16_t>(1 + (pick & 0x0F));
    switch ((pick >> 4) & 7) {
      case 0: {
        // A whole block read never writes past the room it is given.
        const uint32_t room = pick & 0x40 ? 40 : 250;
        buffer[room] = 0xA5;
        store.ReadBlock(h, area, number, &size16, &version, buffer, room);
        if (buffer[room] != 0xA5) __builtin_trap();
        break;
      }
      case 1:
        store.BlockExists(h, area, number, &size16, &version);
        store.GetMaxLogicalBlock(h, &size16);
        break;
      case 2:
        store.GetMaxSpaceValues(h, &a, &b, &c);
        store.ReadBlockPart(h, area, number, 4, static_cast<uint16_t>(pick & 0x1F), buffer);
        break;
      case 3:
        for (int i = 0; i < 60; ++i) buffer[i] = static_cast<uint8_t>(i);
        store.WriteBlock(h, area, number, static_cast<uint16_t>(pick & 0x3F), 1, buffer);
        break;
      case 4:
        store.DeleteAllBlocks(h);
        store.DeleteBlock(h, area, number);
        store.WriteBlockPart(h, StoreArea::Eefull, 5005, 14, 1, buffer);
        break;
      case 5:
        session.ReadProductId(h, &size16);
        session.QueryMode(h, &size16);
        break;
      case 6:
        // The IMEI's 16th character is always a terminator.
        imei[15] = 'x';
        imei[16] = 'y';
        session.ReadImei(h, imei);
        if (imei[15] != '\0' || imei[16] != 'y') __builtin_trap();
        break;
      case 7:
        session.Ping(h);
        session.SelectServiceProtocol(h);
        session.WInitServiceMode(h);
        session.SwitchOff(h);
        break;
    }
    if (store.LastBlockStoreStatus() > velmora::kStatusNotSameIdInAnswer) __builtin_trap();
  }
  link.Close(h);
  return 0;
}
