// The map reader against hand-written texts: every marker, every value form, and hostile
// inputs that must fail without a crash, an overrun or a huge allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "allocation_probe.h"
#include "mapfile/map_writer.h"
#include "mapfile/mapfile.h"

namespace velmora::testing {
namespace {

// A copy of a text in a buffer of exactly its length plus the terminator, so that a read past
// the end is a heap overflow the sanitizers report.
class ExactText {
 public:
  explicit ExactText(const std::string& text) : buffer_(new char[text.size() + 1]) {
    std::memcpy(buffer_.get(), text.data(), text.size());
    buffer_[text.size()] = '\0';
  }
  const char* get() const { return buffer_.get(); }

 private:
  std::unique_ptr<char[]> buffer_;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Header 1, 0, 2, 3, 0, 0 and one block 5/0/2/0/2/1/2 with bytes 16 and 32: checksum 54.
const std::string kWorkedExample =
    "[MapFileInfo]\r\n"
    "Product=1\r\nProvider=0x00\r\nMapVersion=0x02\r\nSWVersion=3\r\nTime=000000\r\nDate=000000\r\n"
    "\r\n[5]\r\n"
    "Extra=0\r\nArea=2\r\nAttribute=0\r\nOperation=2\r\nVersion=1\r\nSize=2\r\n"
    "{\r\n0x10 0x20\r\n}\r\n"
    "\r\n[CheckSum]\r\nCheckSum=54:0x36\r\n";

struct ReadResult {
  bool infoOk = false;
  bool blocksOk = false;
  bool checksumOk = false;
  MapInfo info;
  std::vector<MapBlock> blocks;
};

ReadResult ReadAll(const std::string& text) {
  ReadResult r;
  ExactText exact(text);
  r.infoOk = ReadMapInfo(exact.get(), &r.info);
  if (!r.infoOk) return r;
  r.blocks.resize(static_cast<size_t>(r.info.blockCount));
  r.blocksOk = ReadMapBlocks(exact.get(), r.blocks.data(), r.info);
  if (r.blocksOk) r.checksumOk = VerifyMapChecksum(r.blocks.data(), r.info);
  return r;
}

TEST(MapReader, WorkedExampleReadsAndItsChecksumIs54) {
  const ReadResult r = ReadAll(kWorkedExample);
  ASSERT_TRUE(r.infoOk);
  EXPECT_EQ(r.info.product, 1);
  EXPECT_EQ(r.info.provider, 0);
  EXPECT_EQ(r.info.mapVersion, 2);
  EXPECT_EQ(r.info.swVersion, 3);
  EXPECT_EQ(r.info.checkSum, 54);
  ASSERT_EQ(r.info.blockCount, 1);
  ASSERT_TRUE(r.blocksOk);
  const MapBlock& b = r.blocks[0];
  EXPECT_EQ(b.number, 5);
  EXPECT_EQ(b.area, kAreaEelite);
  EXPECT_EQ(b.operation, kOpWrite);
  EXPECT_EQ(b.version, 1);
  EXPECT_EQ(b.data, (std::vector<uint8_t>{16, 32}));
  EXPECT_TRUE(r.checksumOk);
  EXPECT_EQ(ComputeMapChecksum(r.info, r.blocks.data(), 1), 54u);

  // The same text with LF line ends reads the same: the reader never looks at line ends.
  std::string lf = kWorkedExample;
  for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.replace(at, 2, "\n");
  const ReadResult l = ReadAll(lf);
  EXPECT_TRUE(l.infoOk && l.blocksOk && l.checksumOk);
  EXPECT_EQ(l.blocks[0].data, b.data);
}

TEST(MapReader, ReadMapInfoFailures) {
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty text", ""},
      {"no info opener", Replace(kWorkedExample, "[MapFileInfo]", "[MapFileInf0]")},
      {"no checksum section", Replace(kWorkedExample, "[CheckSum]", "[Checksum]")},
      {"no '=' after the checksum opener", Replace(kWorkedExample, "CheckSum=54:0x36", "54:0x36")},
      {"no ':' after the checksum", Replace(kWorkedExample, "54:0x36", "54 0x36")},
      {"check byte differs", Replace(kWorkedExample, ":0x36", ":0x37")},
      {"check byte missing reads as 0", Replace(kWorkedExample, ":0x36", ":")},
      {"checksum section first", "[CheckSum]\r\nCheckSum=0:0x00\r\n" +
                                     Replace(kWorkedExample, "[CheckSum]", "[Other]")},
      {"only five '=' before the end", "[MapFileInfo]\r\nA=1\r\nB=0\r\nC=2\r\nD=3\r\nE=0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MapInfo info;
    EXPECT_FALSE(ReadMapInfo(ExactText(c.text).get(), &info));
  }
  MapInfo info;
  EXPECT_FALSE(ReadMapInfo(nullptr, &info));
}

TEST(MapReader, CheckByteMismatchStillReadsEverySixValues) {
  MapInfo info;
  EXPECT_FALSE(ReadMapInfo(ExactText(Replace(kWorkedExample, ":0x36", ":0x35")).get(), &info));
  EXPECT_EQ(info.product, 1);
  EXPECT_EQ(info.swVersion, 3);
  EXPECT_EQ(info.checkSum, 54);
  EXPECT_EQ(info.blockCount, 1);
  // Only the low 8 bits of the check byte count.
  EXPECT_TRUE(ReadMapInfo(ExactText(Replace(kWorkedExample, ":0x36", ":0x1236")).get(), &info));
  EXPECT_TRUE(ReadMapInfo(ExactText(Replace(kWorkedExample, ":0x36", ": 36")).get(), &info));
}

TEST(MapReader, DecimalAndHexadecimalValueForms) {
  const struct {
    const char* product;   // decimal
    const char* provider;  // hexadecimal
    int32_t wantProduct;
    int32_t wantProvider;
  } cases[] = {
      {"72", "0x00", 72, 0},
      {" \t\r\n 72", " \t\r\n0x01", 72, 1},
      {"+72", "+0x46", 72, 0x46},
      {"-72", "-0x01", -72, -1},
      {"72abc", "46", 72, 0x46},
      {"abc", "zz", 0, 0},
      {"", "0x", 0, 0},
      {"-", "0X1f", 0, 0x1F},
      {"4294967295", "ffffffff", -1, -1},
      {"4294967297", "100000001", 1, 1},
      {"2147483648", "80000000", INT32_MIN, INT32_MIN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.product) + " / " + c.provider);
    std::string text = Replace(kWorkedExample, "Product=1\r\n", std::string("Product=") + c.product + "\r\n");
    text = Replace(text, "Provider=0x00", std::string("Provider=") + c.provider);
    MapInfo info;
    ReadMapInfo(ExactText(text).get(), &info);  // the checksum no longer fits; values still read
    EXPECT_EQ(info.product, c.wantProduct);
    EXPECT_EQ(info.provider, c.wantProvider);
  }
}

TEST(MapReader, ChecksumInUnsignedOrSignedFormIsTheSamePattern) {
  // The block gives 54; a header of 0xFFFFFFC9 makes the whole checksum 0xFFFFFFFF.
  std::string text = Replace(kWorkedExample, "Product=1\r\n", "Product=4294967241\r\n");
  text = Replace(text, "MapVersion=0x02", "MapVersion=0x00");
  text = Replace(text, "SWVersion=3", "SWVersion=0");
  for (const char* sum : {"4294967295", "-1"}) {
    SCOPED_TRACE(sum);
    const ReadResult r = ReadAll(Replace(text, "CheckSum=54:0x36", std::string("CheckSum=") + sum + ":0xFF"));
    ASSERT_TRUE(r.infoOk);
    EXPECT_EQ(r.info.checkSum, -1);
    EXPECT_TRUE(r.checksumOk);
  }
}

TEST(MapReader, CountMapBlocks) {
  const std::string noBlocks =
      "[MapFileInfo]\r\nP=72\r\nV=0\r\nM=1\r\nS=11\r\nT=0\r\nD=0\r\n[CheckSum]\r\nCheckSum=";
  const struct {
    const char* what;
    std::string text;
    bool ok;
    int32_t count;
  } cases[] = {
      {"empty", "", false, 0},
      {"checksum opener first", "[CheckSum][1][2]", false, 0},
      {"no '[' at all", "MapFileInfo", false, 0},
      {"info and checksum only", noBlocks, true, 0},
      {"worked example", kWorkedExample, true, 1},
      {"stray '[' counts as a section", Replace(kWorkedExample, "\r\n[CheckSum]", "[stray\r\n[CheckSum]"),
       true, 2},
      {"'[' after the checksum opener is not counted", kWorkedExample + "[7]\r\n[8]", true, 1},
      {"without a checksum opener every '[' counts", "[MapFileInfo][1][2][3]", true, 3},
      {"[CheckSu] is not the opener", "[MapFileInfo][CheckSu][CheckSum]", true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MapInfo info;
    info.blockCount = -7;
    EXPECT_EQ(CountMapBlocks(ExactText(c.text).get(), &info), c.ok);
    if (c.ok) {
      EXPECT_EQ(info.blockCount, c.count);
    }
  }
}

TEST(MapReader, NoBlockSectionsReadsNoRecords) {
  const std::string text =
      "[MapFileInfo]\r\nProduct=1\r\nProvider=0x00\r\nMapVersion=0x02\r\nSWVersion=3\r\n"
      "Time=000000\r\nDate=000000\r\n[CheckSum]\r\nCheckSum=0:0x00\r\n";
  const ReadResult r = ReadAll(text);
  ASSERT_TRUE(r.infoOk);
  EXPECT_EQ(r.info.blockCount, 0);
  EXPECT_TRUE(r.blocksOk);
  EXPECT_TRUE(VerifyMapChecksum(nullptr, r.info));
  EXPECT_TRUE(ReadMapBlocks(nullptr, nullptr, r.info));  // a count of 0 succeeds at once
}

TEST(MapReader, StrayBracketRaisesTheCountAndThenBreaksTheBlockRead) {
  // The stray '[' becomes a section of its own, which has no six '=' before the checksum's.
  const ReadResult r = ReadAll(Replace(kWorkedExample, "\r\n[CheckSum]", "\r\n[stray\r\n[CheckSum]"));
  ASSERT_TRUE(r.infoOk);
  EXPECT_EQ(r.info.blockCount, 2);
  EXPECT_FALSE(r.blocksOk);
}

// Texts made of little but section openers. The records a text cannot fill are never counted,
// so the run's records array stays in proportion to the text; the verdict, the records read
// and the checksum are those of the full count, which is small enough to use here.
TEST(MapReader, OpenerFloodsCountOnlyTheRecordsTheTextCanHold) {
  const std::string header =
      "[MapFileInfo]\r\nProduct=1\r\nProvider=0x00\r\nMapVersion=0x02\r\nSWVersion=3\r\n"
      "Time=000000\r\nDate=000000\r\n";
  const std::string flood(200000, '[');
  const struct {
    const char* what;
    std::string text;
    bool blocksOk;
  } cases[] = {
      // Every opener is a section, and the first has no six '=' of its own.
      {"nothing but openers", header + flood + "[CheckSum]\r\nCheckSum=1:0x01\r\n", false},
      // One real block carries the flood between its data bytes; the checksum section follows it.
      {"openers inside a block's data",
       Replace(kWorkedExample, "0x10 0x20", "0x10 " + flood + " 0x20"), true},
      {"openers in a block's key names",
       Replace(kWorkedExample, "Extra=0", "Extra" + flood + "=0"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ExactText exact(c.text);
    int32_t openers = 0;  // every '[' before "[CheckSum]", as counted without the bound
    for (size_t i = 0; c.text.compare(i, 10, "[CheckSum]") != 0; ++i) openers += c.text[i] == '[';

    StartAllocationProbe();
    MapInfo info;
    ASSERT_TRUE(ReadMapInfo(exact.get(), &info));
    EXPECT_LE(info.blockCount, static_cast<int32_t>(c.text.size() / 9 + 1));
    // As the run allocates them: every field zero.
    std::unique_ptr<MapBlock[]> blocks(new (std::nothrow) MapBlock[static_cast<size_t>(info.blockCount)]);
    ASSERT_NE(blocks, nullptr);
    EXPECT_EQ(ReadMapBlocks(exact.get(), blocks.get(), info), c.blocksOk);
    const bool checksumOk = c.blocksOk && VerifyMapChecksum(blocks.get(), info);
    // Forty bytes of records for every '[' would be 40 bytes per text byte.
    EXPECT_LE(TotalAllocated(), 8 * c.text.size()) << TotalAllocated() << " bytes for " << c.text.size();

    MapInfo full = info;
    full.blockCount = openers - 1;
    std::vector<MapBlock> all(static_cast<size_t>(full.blockCount));
    EXPECT_EQ(ReadMapBlocks(exact.get(), all.data(), full), c.blocksOk);
    EXPECT_EQ(checksumOk, c.blocksOk && VerifyMapChecksum(all.data(), full));
    EXPECT_TRUE(checksumOk == c.blocksOk);  // the real block's checksum holds
    for (int32_t i = 0; i < info.blockCount; ++i) {
      EXPECT_EQ(blocks[i].number, all[i].number);
      EXPECT_EQ(blocks[i].size, all[i].size);
      EXPECT_EQ(blocks[i].data, all[i].data);
    }
    for (int32_t i = info.blockCount; i < full.blockCount; ++i) {
      ASSERT_EQ(all[i].operation, 0) << i;  // what was left out is all zero
      ASSERT_TRUE(all[i].data.empty()) << i;
    }
  }
}

TEST(MapReader, SizeZeroBlockStillNeedsItsBraces) {
  const std::string zero = Replace(Replace(kWorkedExample, "Size=2", "Size=0"), "0x10 0x20", "");
  ReadResult r = ReadAll(zero);
  ASSERT_TRUE(r.blocksOk);
  EXPECT_EQ(r.blocks[0].size, 0);
  EXPECT_TRUE(r.blocks[0].data.empty());

  for (const char* brace : {"{", "}"}) {
    SCOPED_TRACE(brace);
    std::string text = Replace(zero, brace, " ");
    MapInfo info;
    ReadMapInfo(ExactText(text).get(), &info);
    std::vector<MapBlock> blocks(1);
    EXPECT_FALSE(ReadMapBlocks(ExactText(text).get(), blocks.data(), info));
    FreeMapBlocks(blocks.data(), info);
  }
}

TEST(MapReader, ShortDataSectionTakesBytesAcrossItsClosingBrace) {
  // Block 1 claims three bytes but holds two; its third byte is the next 'x' of block 2, and
  // its '}' search then finds block 2's '}', so the next '[' is the checksum opener.
  const std::string text =
      "[MapFileInfo]\nP=1\nV=0\nM=0\nS=0\nT=0\nD=0\n"
      "[1]\nE=0\nA=2\nB=0\nO=2\nV=1\nSize=3\n{ 0x01 0x02 }\n"
      "[2]\nE=0\nA=2\nB=0\nO=2\nV=1\nSize=1\n{ 0x03 }\n"
      "[CheckSum]\nCheckSum=0:0\n";
  MapInfo info;
  ReadMapInfo(ExactText(text).get(), &info);
  ASSERT_EQ(info.blockCount, 2);
  std::vector<MapBlock> blocks(2);
  ASSERT_TRUE(ReadMapBlocks(ExactText(text).get(), blocks.data(), info));
  EXPECT_EQ(blocks[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(blocks[1].number, 0);  // never reached: stays zero
  EXPECT_EQ(blocks[1].size, 0);
  EXPECT_TRUE(blocks[1].data.empty());
}

TEST(MapReader, DataByteForms) {
  const struct {
    const char* bytes;  // the data section's content, one byte
    uint8_t want;
  } cases[] = {
      {"0x05", 5},   {"0xab", 171}, {"0xAB", 171}, {"0x5 ", 80},  {"0x5\n", 80},
      {"0xG1", 1},   {"0x1G", 16},  {"0x", 0},     {"0x\n}", 0},  {"0xABC", 171},
      {" garbage 0x7f", 127},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::string text = Replace(Replace(kWorkedExample, "Size=2", "Size=1"), "0x10 0x20", c.bytes);
    MapInfo info;
    ReadMapInfo(ExactText(text).get(), &info);
    std::vector<MapBlock> blocks(1);
    ASSERT_TRUE(ReadMapBlocks(ExactText(text).get(), blocks.data(), info));
    EXPECT_EQ(blocks[0].data, std::vector<uint8_t>{c.want});
  }
}

TEST(MapReader, DataByteAtTheVeryEndOfTheText) {
  // The characters after the 'x' are taken only up to the terminator.
  MapInfo info;
  info.blockCount = 1;
  const struct {
    const char* tail;
    uint8_t want;
  } cases[] = {{"0x5", 5}, {"0x", 0}, {"0xA", 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    const std::string text = std::string("[I][1]=0=2=0=2=1=1{") + c.tail;
    std::vector<MapBlock> blocks(1);
    EXPECT_FALSE(ReadMapBlocks(ExactText(text).get(), blocks.data(), info));  // no '}'
    EXPECT_EQ(blocks[0].data, std::vector<uint8_t>{c.want});
    EXPECT_TRUE(ReadMapBlocks(ExactText(text + "}").get(), blocks.data(), info));
  }
}

TEST(MapReader, EightBitFieldsKeepTheLowByte) {
  std::string text = Replace(kWorkedExample, "Area=2", "Area=264");
  text = Replace(text, "Operation=2", "Operation=-254");
  text = Replace(text, "Version=1\r\nSize", "Version=257\r\nSize");
  const ReadResult r = ReadAll(text);
  ASSERT_TRUE(r.blocksOk);
  EXPECT_EQ(r.blocks[0].area, 8);
  EXPECT_EQ(r.blocks[0].operation, 2);
  EXPECT_EQ(r.blocks[0].version, 1);
}

TEST(MapReader, AbsurdSizesFailWithoutAHugeAllocation) {
  const struct {
    const char* size;
    const char* rest;  // from the '{' on
  } cases[] = {
      {"2147483648", "{ 0x01 }\r\n[CheckSum]"},  // reads as -2^31
      {"2147483647", "{ 0x01 }\r\n[CheckSum]"},
      {"4294967295", "{ }\r\n[CheckSum]"},  // -1
      {"-5", "{ }\r\n[CheckSum]"},
      {"100000000", "{ 0x01 0x02"},
      {"3", "{ 0x01 0x02"},  // ends inside the data
      {"3", "{ 0x01 0x02 0x03"},  // ends before the '}'
      {"1", ""},  // ends before the '{'
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.size) + " " + c.rest);
    const std::string text = std::string("[MapFileInfo]\n[1]\nE=0\nA=2\nB=0\nO=2\nV=1\nSize=") +
                             c.size + "\n" + c.rest;
    MapInfo info;
    info.blockCount = 1;
    std::vector<MapBlock> blocks(1);
    const ExactText exact(text);
    StartAllocationProbe();
    EXPECT_FALSE(ReadMapBlocks(exact.get(), blocks.data(), info));
    EXPECT_LE(LargestAllocation(), text.size());
    EXPECT_TRUE(FreeMapBlocks(blocks.data(), info));
    EXPECT_TRUE(blocks[0].data.empty());
  }
}

TEST(MapReader, EveryTruncationFailsCleanly) {
  // Three blocks; the text is cut after every character. The info read needs the whole check
  // byte; the block read needs everything up to the last '}'.
  std::vector<MapBlock> source(3);
  for (int i = 0; i < 3; ++i) {
    source[i].number = 10 + i;
    source[i].area = i == 2 ? kAreaEefull : kAreaEelite;
    source[i].operation = kOpWrite;
    source[i].size = 5 * i;
    for (int j = 0; j < source[i].size; ++j) source[i].data.push_back(static_cast<uint8_t>(0xA0 + j));
  }
  MapInfo header;
  header.product = 72;
  header.mapVersion = 1;
  const std::string text = FormatMapText(header, source);
  const size_t lastBrace = text.rfind('}');
  const size_t checkByteEnd = text.find_last_of("0123456789ABCDEF") + 1;

  MapInfo full;
  ASSERT_TRUE(ReadMapInfo(text.c_str(), &full));
  for (size_t cut = 0; cut < text.size(); ++cut) {
    SCOPED_TRACE(cut);
    const ExactText prefix(text.substr(0, cut));
    MapInfo info;
    EXPECT_EQ(ReadMapInfo(prefix.get(), &info), cut >= checkByteEnd);
    std::vector<MapBlock> blocks(3);
    EXPECT_EQ(ReadMapBlocks(prefix.get(), blocks.data(), full), cut > lastBrace);
    FreeMapBlocks(blocks.data(), full);
  }
}

TEST(MapReader, RecordsNotReachedStayZeroAndAddNothingToTheChecksum) {
  MapInfo info;
  ASSERT_TRUE(ReadMapInfo(kWorkedExample.c_str(), &info));
  info.blockCount = 4;  // more records than sections: reading stops at the checksum opener
  std::vector<MapBlock> blocks(4);
  ASSERT_TRUE(ReadMapBlocks(kWorkedExample.c_str(), blocks.data(), info));
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(blocks[i].number, 0);
    EXPECT_EQ(blocks[i].operation, kOpNone);
    EXPECT_TRUE(blocks[i].data.empty());
  }
  EXPECT_TRUE(VerifyMapChecksum(blocks.data(), info));
}

TEST(MapReader, FreeMapBlocks) {
  MapInfo info;
  info.blockCount = 2;
  EXPECT_TRUE(FreeMapBlocks(nullptr, info));
  std::vector<MapBlock> blocks(2);
  blocks[0].data.assign(100, 1);
  blocks[1].data.assign(3, 2);
  EXPECT_TRUE(FreeMapBlocks(blocks.data(), info));
  for (const MapBlock& b : blocks) {
    EXPECT_TRUE(b.data.empty());
    EXPECT_EQ(b.data.capacity(), 0u);
  }
}

TEST(HexToInt, DigitsTakeTheirPlaceFromTheRight) {
  const struct {
    const char* text;
    int32_t want;
  } cases[] = {
      {"AB", 171},  {"ab", 171},  {"5 ", 80},         {"5", 5},       {"", 0},
      {"G1", 1},    {"1G", 16},   {" ", 0},           {"05", 5},      {"FFFFFFFF", -1},
      {"7fffffff", INT32_MAX},    {"123456789", 0x23456789},  // a ninth place adds nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HexToInt(c.text), c.want);
  }
  EXPECT_EQ(HexToInt(nullptr), 0);
}

}  // namespace
}  // namespace velmora::testing
