// The update run's order of steps, its failure table and its endings, driven by a scripted
// double of the handset and engine operations.
#include "app/dialog_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "handset/block_store.h"
#include "mapfile/map_writer.h"
#include "support/recording_view.h"

namespace velmora {
namespace {

using testing::RecordingView;

struct ScriptedOps : UpdateOperations {
  explicit ScriptedOps(Reporting& r) : report(r) {}
  Reporting& report;
  bool connect = true, imei = true, product = true, blocks = true, version = true;
  uint16_t hwProduct = 0;
  std::vector<std::string> calls;
  int selected = 0;

  bool Connect() override {
    calls.push_back("Connect");
    return connect;
  }
  bool ReadImei(char* out) override {
    calls.push_back("ReadImei");
    if (imei) std::snprintf(out, 100, "%s", "351234567890128");
    return imei;
  }
  void SelectBlocks(uint32_t* flags, const MapBlock* b, const MapInfo& info) override {
    calls.push_back("SelectBlocks");
    for (int i = 0; i < info.blockCount; ++i)
      if (b[i].operation != 0) flags[i] = 1, ++selected;
  }
  bool CheckProduct(const MapInfo&) override {
    calls.push_back("CheckProduct");
    return product;
  }
  uint16_t HardwareProduct() const override { return hwProduct; }
  bool WriteMapBlocks(MapBlock*, const MapInfo&, const uint32_t*, BlockFailure* failure) override {
    calls.push_back("WriteMapBlocks");
    if (!blocks) *failure = {7, kStatusBlockInUse, false};
    return blocks;
  }
  bool WriteMapVersion(const MapInfo&) override {
    calls.push_back("WriteMapVersion");
    return version;
  }
  void CloseSession() override { calls.push_back("CloseSession"); }
};

std::string SampleMap() {
  MapInfo info;
  info.product = 72;
  info.provider = 0;
  info.mapVersion = 1;
  info.swVersion = 11;
  info.time = 93012;
  info.date = 20926;
  MapBlock b;
  b.number = 5;
  b.area = kAreaEelite;
  b.operation = kOpWrite;
  b.version = 1;
  b.size = 2;
  b.data = {16, 32};
  return FormatMapText(info, {b});
}

// A dialog model with a recording view, scripted operations and a good sample map.
struct RunSet {
  RecordingView view;
  DialogModel model{view};
  ScriptedOps ops{model};
  std::string map = SampleMap();

  RunSet() {
    model.SetProgramPath("/opt/velmora/velmora");
    model.SetMapText(map.c_str());
  }
  bool Logged(const std::string& text) const { return model.logText().find(text) != std::string::npos; }
};

struct RunFixture : ::testing::Test, RunSet {};

TEST_F(RunFixture, SuccessfulInteractiveRunLogsEveryStepAndEndsWithTheInformationBox) {
  EXPECT_EQ(StartUpdate(model, ops), RunOutcome::Succeeded);
  EXPECT_EQ(ops.calls, (std::vector<std::string>{"Connect", "ReadImei", "SelectBlocks", "CheckProduct",
                                                 "WriteMapBlocks", "WriteMapVersion", "CloseSession"}));
  const std::string header = model.logText().substr(0, model.logText().find("IMEI: "));
  EXPECT_EQ(header,
            "/opt/velmora/velmora\r\n"
            "Version 1.3 from Sep 26 2002 14:00:42\r\n"
            "Based on seedtool Version 1.14 from 1st Feb 2002\r\n"
            "QSB 95 Library V3.76 Pallas from Sep  9 2002 14:24:23\r\n" +
                std::string(kLegalNotice) + "\r\n\r\n");
  EXPECT_EQ(model.logText().substr(header.size()),
            "IMEI: 351234567890128\r\n"
            "\r\nMapFile-Info\r\nProduct:\t72\r\nProvider:\t0x00\r\nMap-Version:\t0x01\r\n"
            "SWVersion:\t11\r\nTime:\t093012\r\nDate:\t020926\r\n"
            "Standard-Mapping\r\n"
            "Read Data, please wait...\r\n"
            "Checksum OK\r\n"
            "Writing Map-Version to Mobile.\r\n");
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "Configuration has been written to mobile successfully!");
  EXPECT_EQ(view.boxes[0].icon, MessageIcon::Information);
  EXPECT_TRUE(view.endResults.empty());
  EXPECT_TRUE(model.enabled(kIdStart));
  EXPECT_TRUE(model.enabled(kIdExit));
  EXPECT_FALSE(model.shown(kIdProgress));
  EXPECT_FALSE(model.shown(kIdStatusLine));
  EXPECT_EQ(model.progress().low, 1);
  EXPECT_EQ(model.progress().high, 2);
  EXPECT_EQ(model.progress().position, 1);
  EXPECT_EQ(ops.selected, 1);
}

TEST_F(RunFixture, StartAndExitStayDisabledWhileTheRunWorks) {
  StartUpdate(model, ops);
  ASSERT_GE(view.enables.size(), 4u);
  EXPECT_EQ(view.enables[0], std::make_pair(int{kIdStart}, false));
  EXPECT_EQ(view.enables[1], std::make_pair(int{kIdExit}, false));
  EXPECT_EQ(view.enables[view.enables.size() - 2], std::make_pair(int{kIdStart}, true));
  EXPECT_EQ(view.enables.back(), std::make_pair(int{kIdExit}, true));
}

// One row per failing step: what fails, the error text, and what is logged before it.
struct FailureRow {
  const char* name;
  void (*arrange)(RunSet&);
  const char* error;
  std::vector<std::string> loggedBefore;
  std::vector<std::string> lastCalls;  // the calls that end the run, CloseSession last
};

const FailureRow kFailures[] = {
    {"imei", [](RunSet& f) { f.ops.imei = false; }, "Error reading IMEI!", {},
     {"ReadImei", "CloseSession"}},
    {"no map", [](RunSet& f) { f.model.SetMapText(nullptr); }, "Error reading map info!",
     {"ERROR: Can't read map info! Mapfile corrupt?\r\n",
      "Please use mapping [Productname]_[1|2]_[Provider]_[SWV]_00xx.map\r\n",
      "e.g. Velmora_K71_1_Standard_11_0001.map or Velmora_K71_2_BRD-Handel_11_0046.map"
      "Error reading map info!\r\n"},
     {"ReadImei", "CloseSession"}},
    {"map data",
     [](RunSet& f) {
       f.map.erase(f.map.find('{'), 1);  // a block section without its '{' cannot be read
       f.model.SetMapText(f.map.c_str());
     },
     "Can't read map data!", {"Read Data, please wait...\r\n"}, {"ReadImei", "CloseSession"}},
    {"checksum",
     [](RunSet& f) {
       f.map.replace(f.map.find("0x10"), 4, "0x11");
       f.model.SetMapText(f.map.c_str());
     },
     "Wrong Checksum! Mapfile corrupt?", {"Read Data, please wait...\r\n"},
     {"ReadImei", "CloseSession"}},
    {"product", [](RunSet& f) { f.ops.product = false; }, "Wrong Mapping for this Mobile!",
     {"Checksum OK\r\nMap-Product: 72  HW-Product: 0\r\nERROR: Wrong Mapping for this Mobile\r\n"},
     {"CheckProduct", "CloseSession"}},
    {"blocks", [](RunSet& f) { f.ops.blocks = false; }, "Can't send mapping blocks to mobile!",
     {"Block 7 not written\r\nError:Block is in Use\r\nCan't send mapping blocks to mobile!\r\n"},
     {"WriteMapBlocks", "CloseSession"}},
    {"version", [](RunSet& f) { f.ops.version = false; },
     "Can't write Map version info to mobile!",
     {"Writing Map-Version to Mobile.\r\nCan't write Map version info to mobile!\r\n"},
     {"WriteMapVersion", "CloseSession"}},
};

TEST(UpdateRunFailures, EveryFailingStepClosesTheSessionAndShowsItsErrorAlone) {
  for (bool unattended : {false, true}) {
    for (const FailureRow& row : kFailures) {
      SCOPED_TRACE(std::string(row.name) + (unattended ? " unattended" : " interactive"));
      RunSet f;
      f.model.SetUnattended(unattended);
      row.arrange(f);
      EXPECT_EQ(StartUpdate(f.model, f.ops), RunOutcome::Failed);
      ASSERT_GE(f.ops.calls.size(), row.lastCalls.size());
      EXPECT_EQ(std::vector<std::string>(f.ops.calls.end() - row.lastCalls.size(), f.ops.calls.end()),
                row.lastCalls);
      for (const auto& text : row.loggedBefore) EXPECT_TRUE(f.Logged(text)) << text;
      EXPECT_TRUE(f.Logged(std::string(row.error) + "\r\n"));
      ASSERT_EQ(f.view.boxes.size(), 1u);
      EXPECT_EQ(f.view.boxes[0].text, row.error);
      EXPECT_EQ(f.view.boxes[0].icon, MessageIcon::Error);
      EXPECT_EQ(f.view.endResults, unattended ? std::vector<int>{3} : std::vector<int>{});
      EXPECT_TRUE(f.model.enabled(kIdStart));
      EXPECT_TRUE(f.model.enabled(kIdExit));
    }
  }
}

TEST_F(RunFixture, FailedConnectEndsTheRunWithoutAnythingElseEvenUnattended) {
  model.SetUnattended(true);
  ops.connect = false;
  EXPECT_EQ(StartUpdate(model, ops), RunOutcome::NotConnected);
  EXPECT_EQ(ops.calls, std::vector<std::string>{"Connect"});
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_TRUE(view.endResults.empty());
  EXPECT_TRUE(model.enabled(kIdStart));
  EXPECT_TRUE(model.enabled(kIdExit));
}

TEST_F(RunFixture, UnattendedSuccessShowsNoBoxAndEndsWithOne) {
  model.SetUnattended(true);
  EXPECT_EQ(StartUpdate(model, ops), RunOutcome::Succeeded);
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_EQ(view.endResults, std::vector<int>{1});
}

TEST_F(RunFixture, MappingWithoutSelectedBlocksStillWritesTheVersionRecord) {
  MapInfo info;
  info.product = 72;
  MapBlock idle;
  idle.number = 9;
  idle.area = kAreaEelite;
  idle.operation = kOpNone;
  map = FormatMapText(info, {idle});
  model.SetMapText(map.c_str());
  EXPECT_EQ(StartUpdate(model, ops), RunOutcome::Succeeded);
  EXPECT_EQ(ops.selected, 0);
  EXPECT_EQ(ops.calls.back(), "CloseSession");
  EXPECT_EQ(ops.calls[ops.calls.size() - 2], "WriteMapVersion");
}

TEST_F(RunFixture, EachRunStartsTheLogAfreshWithTheHeader) {
  StartUpdate(model, ops);
  const uint64_t generation = model.logGeneration();
  StartUpdate(model, ops);
  EXPECT_EQ(model.logGeneration(), generation + 1);
  EXPECT_EQ(model.logText().find("/opt/velmora/velmora\r\n"), 0u);
  EXPECT_EQ(model.logText().find("IMEI: "), model.logText().rfind("IMEI: "));
}

TEST_F(RunFixture, DeltaMappingIsNamedAsSuch) {
  MapInfo info;
  info.product = 72;
  info.provider = 1;
  map = FormatMapText(info, {});
  model.SetMapText(map.c_str());
  StartUpdate(model, ops);
  EXPECT_TRUE(Logged("Provider:\t0x01\r\n"));
  EXPECT_TRUE(Logged("Delta-Mapping\r\n"));
}

}  // namespace
}  // namespace velmora
