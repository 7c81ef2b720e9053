// The handset backup format: what it writes reads back the same, byte for byte on every
// system, and a file that was cut anywhere or altered in any byte is refused before a single
// block could be written from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/digest.h"
#include "update/handset_backup.h"
#include "support/map_blocks.h"

namespace velmora {
namespace {

MapBlock Block(uint8_t area, int32_t number, size_t size, uint8_t version, uint8_t first) {
  return MakeMapBlock(number, area, 0, version, testing::CountingBytes(size, first));
}

HandsetBackup Sample() {
  HandsetBackup backup;
  backup.kind = "write-ahead";
  backup.imei = "351234567890128";
  backup.product = 72;
  backup.created = "2026-12-10T22:14:10Z";
  // 33 bytes: one whole data line and one of a single byte; an empty block; an Eefull block.
  backup.blocks = {Block(kAreaEelite, 3, 33, 1, 0xF0), Block(kAreaEelite, 7, 0, 255, 0),
                   Block(kAreaEefull, 5005, 2, 9, 0x0A)};
  backup.absent = {{kAreaEefull, 4000}};
  return backup;
}

TEST(HandsetBackup, WritesTheDocumentedBytesAndReadsThemBack) {
  const std::string text = FormatHandsetBackup(Sample());
  const std::string body =
      "VELMORA-BACKUP 1\n"
      "kind write-ahead\n"
      "imei 351234567890128\n"
      "product 72\n"
      "created 2026-12-10T22:14:10Z\n"
      "block eelite 3 size 33 version 1\n"
      "data F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF000102030405060708090A0B0C0D0E0F\n"
      "data 10\n"
      "block eelite 7 size 0 version 255\n"
      "block eefull 5005 size 2 version 9\n"
      "data 0A0B\n"
      "absent eefull 4000\n";
  // The digest as Python's hashlib gives it for the same bytes.
  EXPECT_EQ(text, body + "end blocks 3 absent 1 sha1 a31db337a6ed6bba32294fb3101237734d7d8d4b\n");

  HandsetBackup read;
  std::string error;
  ASSERT_TRUE(ParseHandsetBackup(text, &read, &error)) << error;
  EXPECT_EQ(read.kind, "write-ahead");
  EXPECT_EQ(read.imei, "351234567890128");
  EXPECT_EQ(read.product, 72u);
  ASSERT_EQ(read.blocks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(read.blocks[i].number, Sample().blocks[i].number);
    EXPECT_EQ(read.blocks[i].area, Sample().blocks[i].area);
    EXPECT_EQ(read.blocks[i].version, Sample().blocks[i].version);
    EXPECT_EQ(read.blocks[i].data, Sample().blocks[i].data);
  }
  EXPECT_EQ(read.absent, Sample().absent);
  EXPECT_EQ(FormatHandsetBackup(read), text);
}

TEST(HandsetBackup, RangesAskedForAreKeptAfterTheAbsentLines) {
  HandsetBackup backup = Sample();
  backup.ranges = {{kAreaEelite, 1, 20}, {kAreaEefull, 5000, 5020}};
  const std::string text = FormatHandsetBackup(backup);
  // The fields an older reader knew keep their bytes; the ranges stand before the end line.
  const std::string old = FormatHandsetBackup(Sample());
  EXPECT_EQ(text.substr(0, old.rfind("end ")), old.substr(0, old.rfind("end ")));
  EXPECT_NE(text.find("absent eefull 4000\nrange eelite 1 20\nrange eefull 5000 5020\nend blocks 3 absent 1 sha1 "),
            std::string::npos);
  HandsetBackup read;
  std::string error;
  ASSERT_TRUE(ParseHandsetBackup(text, &read, &error)) << error;
  EXPECT_EQ(read.ranges, backup.ranges);
  EXPECT_EQ(FormatHandsetBackup(read), text);
  // A file written before ranges were recorded reads as it always did.
  ASSERT_TRUE(ParseHandsetBackup(old, &read, &error)) << error;
  EXPECT_TRUE(read.ranges.empty());

  for (const char* bad : {"range eelite 0 20", "range eelite 20 1", "range eeprom 1 20",
                          "range eelite 1 65536", "range eelite 1", "range eelite 01 20"}) {
    std::string body = std::string(kHandsetBackupMagic) +
                       "\nkind full\nimei 351234567890128\nproduct 72\ncreated 2026-12-10T22:14:10Z\n" +
                       bad + "\n";
    body += "end blocks 0 absent 0 sha1 " + Sha1Hex(body) + "\n";
    EXPECT_FALSE(ParseHandsetBackup(body, nullptr, &error)) << bad;
    EXPECT_EQ(error, "line 6: bad range line") << bad;
  }
}

TEST(HandsetBackup, CutAnywhereIsRefused) {
  const std::string text = FormatHandsetBackup(Sample());
  for (size_t length = 0; length < text.size(); ++length) {
    std::string error;
    EXPECT_FALSE(ParseHandsetBackup(text.substr(0, length), nullptr, &error)) << length;
  }
}

TEST(HandsetBackup, AnyByteAlteredIsRefused) {
  const std::string text = FormatHandsetBackup(Sample());
  for (size_t at = 0; at < text.size(); ++at) {
    for (char to : {'0', 'F', ' ', '\n', 'x'}) {
      if (text[at] == to) continue;
      std::string altered = text;
      altered[at] = to;
      std::string error;
      EXPECT_FALSE(ParseHandsetBackup(altered, nullptr, &error)) << at << " -> " << to;
    }
  }
}

TEST(HandsetBackup, RefusesWhatIsNoWholeBackupWithItsLine) {
  // Each text is complete but wrong; the digest is made right where it matters, so that the
  // reason is the one named.
  const auto sealed = [](HandsetBackup b) { return FormatHandsetBackup(b); };
  HandsetBackup twice = Sample();
  twice.blocks.push_back(twice.blocks[0]);
  const std::string good = FormatHandsetBackup(Sample());
  std::string wrongCount = good;
  wrongCount.replace(wrongCount.find("end blocks 3"), 12, "end blocks 4");
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "not a handset backup"},
      {"\r\r\nBLOCK_NUMBER = 3\r\r\n", "not a handset backup"},
      {"VELMORA-BACKUP 2\nkind x\n", "line 1: unknown format or version"},
      {sealed(twice), "given twice"},
      {wrongCount, "block count differs"},
      {good + "extra\n", "text after the end line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    std::string error;
    EXPECT_FALSE(ParseHandsetBackup(c.text, nullptr, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(HandsetBackup, HeaderAndDataLinesAreCheckedWhereTheyStand) {
  // One line of the good file replaced: the refusal names that line and what is wrong with it,
  // before the digest at the end is ever reached.
  const std::string good = FormatHandsetBackup(Sample());
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {with("kind write-ahead\n", "imei 351234567890128\n"), "line 2: expected kind"},
      {with("imei 351234567890128\n", "imei 3512-3456\n"), "line 3: bad IMEI"},
      {with("imei 351234567890128\n", "imei\n"), "line 3: expected imei"},
      {with("product 72\n", "product 65536\n"), "line 4: bad product"},
      {with("product 72\n", "product 072\n"), "line 4: bad product"},
      {with("created 2026-12-10T22:14:10Z\n", "made 2026-12-10T22:14:10Z\n"),
       "line 5: expected created"},
      // A first data line of 31 bytes where 32 are due, and a last one of 2 where 1 is left.
      {with("data F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF000102030405060708090A0B0C0D0E0F\n",
            "data F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF000102030405060708090A0B0C0D0E\n"),
       "line 7: data line of the wrong length"},
      {with("data 10\n", "data 1011\n"), "line 8: data line of the wrong length"},
      {with("data 0A0B\n", "data 0a0b\n"), "line 11: bad hexadecimal"},
      {with("data 0A0B\n", "data 0G0B\n"), "line 11: bad hexadecimal"},
      {with("data 10\n", ""), "line 8: block 3 has fewer data bytes than its size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    std::string error;
    EXPECT_FALSE(ParseHandsetBackup(c.text, nullptr, &error));
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
  }
}

TEST(HandsetBackup, ImeiKeepsLettersAndDigitsOnly) {
  EXPECT_EQ(BackupImei("351234567890128"), "351234567890128");
  EXPECT_EQ(BackupImei("\r\n+CGSN: 35-12/34\r\n"), "CGSN351234");
  EXPECT_EQ(BackupImei("../.."), kUnknownImei);
  EXPECT_EQ(BackupImei(""), kUnknownImei);
}

}  // namespace
}  // namespace velmora
