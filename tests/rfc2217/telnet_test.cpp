// The telnet decoder shared by the RFC 2217 client and velmora-sim, and the escaping on the
// way out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rfc2217/telnet.h"

namespace velmora::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

// Decodes the stream and writes what came out as text: D<byte> for data, O<verb>,<option>
// for option talk, S<bytes...> for a subnegotiation.
std::string Decode(Decoder& d, const Bytes& in) {
  std::string out;
  for (uint8_t b : in) {
    switch (d.Process(b)) {
      case Decoder::Event::Data: out += "D" + std::to_string(d.data()) + " "; break;
      case Decoder::Event::Option:
        out += "O" + std::to_string(d.verb()) + "," + std::to_string(d.option()) + " ";
        break;
      case Decoder::Event::Subnegotiation:
        out += "S";
        for (uint8_t s : d.sub()) out += std::to_string(s) + ".";
        out += " ";
        break;
      case Decoder::Event::None: break;
    }
  }
  return out;
}

TEST(TelnetDecoder, TakesTheStreamApart) {
  const Bytes longSub = [] {
    Bytes b = {kIac, kSb};
    b.insert(b.end(), Decoder::kMaxSubnegotiation + 1, 7);
    b.insert(b.end(), {kIac, kSe, 9});
    return b;
  }();
  struct Case {
    const char* what;
    Bytes in;
    std::string out;
  };
  const Case cases[] = {
      {"data, a doubled 0xFF is one byte", {1, kIac, kIac, 2}, "D1 D255 D2 "},
      {"option talk between data", {1, kIac, kWill, kComPort, 2}, "D1 O251,44 D2 "},
      {"NOP and GA carry nothing", {kIac, 241, kIac, 249, 3}, "D3 "},
      {"subnegotiation with an escaped 0xFF",
       {kIac, kSb, kComPort, 101, 0, kIac, kIac, kIac, kSe, 4},
       "S44.101.0.255. D4 "},
      {"IAC and anything else breaks a subnegotiation",
       {kIac, kSb, kComPort, 1, kIac, 241, 5, kIac, kSe},
       "D5 "},
      {"an overlong subnegotiation is skipped to its end", longSub, "D9 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Decoder whole;
    EXPECT_EQ(Decode(whole, c.in), c.out);
    // The same stream split at every offset decodes the same: state carries across reads.
    for (size_t cut = 1; cut < c.in.size(); ++cut) {
      Decoder split;
      std::string out = Decode(split, Bytes(c.in.begin(), c.in.begin() + cut));
      out += Decode(split, Bytes(c.in.begin() + cut, c.in.end()));
      EXPECT_EQ(out, c.out) << "split at " << cut;
    }
  }
}

TEST(TelnetEncoding, EscapesEvery0xFFAndFramesCommands) {
  std::string text;
  AppendEscaped(text, 'a');
  AppendEscaped(text, kIac);
  EXPECT_EQ(text, std::string("a\xFF\xFF"));

  Bytes out;
  const uint8_t value[] = {0x00, 0xFF, 0x12};
  AppendComPortCommand(out, kSetBaudRate, value, sizeof value);
  EXPECT_EQ(out, (Bytes{kIac, kSb, kComPort, kSetBaudRate, 0x00, 0xFF, 0xFF, 0x12, kIac, kSe}));

  // What the encoder writes the decoder reads back.
  Decoder d;
  EXPECT_EQ(Decode(d, out), "S44.1.0.255.18. ");
}

}  // namespace
}  // namespace velmora::telnet
