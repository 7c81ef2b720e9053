#include "ports/port_namer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/posix/system_serial.h"
#include "rfc2217/rfc2217_device.h"
#include "platform/settings_store.h"
#include "support/rfc2217_test_server.h"

namespace velmora {
namespace {

// A device that only says where it came from.
class TaggedDevice : public SerialDevice {
 public:
  explicit TaggedDevice(std::string t) : tag(std::move(t)) {}
  bool SetConfig(const SerialConfig&) override { return true; }
  bool GetConfig(SerialConfig*) override { return true; }
  bool SetTimeouts(const SerialTimeouts&) override { return true; }
  int Read(uint8_t*, size_t) override { return 0; }
  int Write(const uint8_t*, size_t n) override { return static_cast<int>(n); }
  bool SetDtr(bool) override { return true; }
  bool SetRts(bool) override { return true; }
  bool Purge() override { return true; }
  bool ClearErrors() override { return true; }
  std::string tag;
};

TEST(PortNamer, DefaultTableFollowsLinuxNumbering) {
  RealClock clock;
  PortNamer namer(clock);
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "/dev/ttyS0"}, {"COM4", "/dev/ttyS3"}, {"com9", "/dev/ttyS8"}, {"COM:", "/dev/ttyS9"},
      {"COM0", ""},           {"COM10", ""},          {"LPT1", ""},         {"", ""},
  };
  for (const auto& [name, target] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(namer.TargetOf(name), target);
  }
  EXPECT_EQ(namer.Open("LPT1"), nullptr);
  EXPECT_NE(namer.last_error().find("no such port"), std::string::npos);
}

TEST(PortNamer, SettingsTableAndCommandLineOverrideInThatOrder) {
  RealClock clock;
  PortNamer namer(clock);
  SettingsStore store;
  ASSERT_TRUE(store.LoadText("Windows Registry Editor Version 5.00\n"
                             "[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\n"
                             "\"COM1\"=\"/dev/ttyUSB0\"\n"
                             "\"com2\"=\"rfc2217://127.0.0.1:7000\"\n"
                             "\"COM3\"=\"sim:\"\n"
                             "\"COM4\"=dword:1\n",
                             "s.reg", nullptr));
  namer.LoadTable(store);
  EXPECT_EQ(namer.TargetOf("COM1"), "/dev/ttyUSB0");
  EXPECT_EQ(namer.TargetOf("COM2"), "rfc2217://127.0.0.1:7000");
  EXPECT_EQ(namer.TargetOf("Com3"), "sim:");
  EXPECT_EQ(namer.TargetOf("COM4"), "/dev/ttyS3");  // not a string: not an entry
  namer.SetTarget("com1", "sim:slow");
  EXPECT_EQ(namer.TargetOf("COM1"), "sim:slow");
}

TEST(PortNamer, RegisteredSchemeGetsItsArgumentAndUnknownSchemesFail) {
  RealClock clock;
  PortNamer namer(clock);
  std::vector<std::string> arguments;
  namer.RegisterScheme("sim", [&](const std::string& argument, std::string*, OpenFailure*) {
    arguments.push_back(argument);
    return std::make_unique<TaggedDevice>("sim");
  });
  namer.SetTarget("COM1", "sim:");
  namer.SetTarget("COM2", "SIM:BROKEN-AFTER-3");
  namer.SetTarget("COM3", "tcp://127.0.0.1:1");
  auto one = namer.Open("COM1");
  auto two = namer.Open("com2");
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(dynamic_cast<TaggedDevice*>(one.get())->tag, "sim");
  EXPECT_EQ(arguments, (std::vector<std::string>{"", "BROKEN-AFTER-3"}));

  EXPECT_EQ(namer.Open("COM3"), nullptr);
  EXPECT_NE(namer.last_error().find("\"tcp:\""), std::string::npos) << namer.last_error();

  EXPECT_EQ(namer.LastOpenError().kind, OpenFailure::Permanent);

  // A factory that fails passes its reason and its kind on; one that gives no kind is not
  // retried.
  OpenFailure given = OpenFailure::Busy;
  namer.RegisterScheme("sim", [&given](const std::string&, std::string* error, OpenFailure* kind) {
    *error = "no such profile";
    if (given != OpenFailure::None) *kind = given;
    return std::unique_ptr<SerialDevice>();
  });
  EXPECT_EQ(namer.Open("COM1"), nullptr);
  EXPECT_EQ(namer.last_error(), "no such profile");
  EXPECT_EQ(namer.LastOpenError().kind, OpenFailure::Busy);
  given = OpenFailure::None;
  EXPECT_EQ(namer.Open("COM1"), nullptr);
  EXPECT_EQ(namer.LastOpenError().kind, OpenFailure::Permanent);
}

TEST(PortNamer, PathsAndUrlsOpenTheirDevices) {
  RealClock clock;
  PortNamer namer(clock);

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  namer.SetTarget("COM1", ptsname(master));
  auto tty = namer.Open("COM1");
  EXPECT_NE(dynamic_cast<PosixSerialDevice*>(tty.get()), nullptr) << namer.last_error();

  testing::TestRfc2217Server server({});
  namer.SetTarget("COM2", "rfc2217://" + server.address());
  auto net = namer.Open("COM2");
  EXPECT_NE(dynamic_cast<Rfc2217Device*>(net.get()), nullptr) << namer.last_error();

  // Every failure names the device and the reason; only a port that another program holds is
  // worth another try.
  std::string closedPort;
  {
    testing::TestRfc2217Server gone({});
    closedPort = gone.address();
  }
  const std::string heldTty = ptsname(master);
  const struct {
    std::string target;
    std::string reason;
    OpenFailure kind;
  } failures[] = {
      {"/dev/null", "/dev/null: not a serial device", OpenFailure::Permanent},
      {"/nonexistent/ttyX", "/nonexistent/ttyX: No such file or directory", OpenFailure::Permanent},
      {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1: expected host:port", OpenFailure::Permanent},
      {"rfc2217://:99", "rfc2217://:99: expected host:port", OpenFailure::Permanent},
      {"rfc2217://" + closedPort, "rfc2217://" + closedPort + ": Connection refused",
       OpenFailure::Permanent},
      {"rfc2217://no-such-host.invalid:4000", "rfc2217://no-such-host.invalid: ",
       OpenFailure::Permanent},
      {heldTty, heldTty + ": ", OpenFailure::Busy},  // COM1 holds it
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.target);
    namer.SetTarget("COM3", f.target);
    EXPECT_EQ(namer.Open("COM3"), nullptr);
    EXPECT_EQ(namer.last_error().rfind(f.reason, 0), 0u) << namer.last_error();
    EXPECT_EQ(namer.LastOpenError().text, namer.last_error());
    EXPECT_EQ(namer.LastOpenError().kind, f.kind);
  }
  tty.reset();
  close(master);
}

TEST(PortNamer, PermissionRefusedIsNotRetried) {
  if (geteuid() == 0) GTEST_SKIP() << "root may open anything";
  RealClock clock;
  PortNamer namer(clock);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  ASSERT_EQ(chmod(slave.c_str(), 0), 0);
  namer.SetTarget("COM1", slave);
  EXPECT_EQ(namer.Open("COM1"), nullptr);
  EXPECT_EQ(namer.LastOpenError().kind, OpenFailure::Permanent);
  EXPECT_NE(namer.last_error().find("Permission denied"), std::string::npos) << namer.last_error();
  close(master);
}

}  // namespace
}  // namespace velmora
