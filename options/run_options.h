// The command line of a run, declared once for both front ends: each option is one row of a
// table that says which front end takes it, its help, and what a station does with it when
// it starts a velmora-cli per port. A new option is one row here and one field below.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb_latency.h"

namespace velmora {

enum class FrontEnd { Console, Dialog };

// Everything a run may be asked; the dialog fills only the fields of the options it takes.
struct RunOptions {
  std::string mapPath;
  std::vector<std::string> ports;
  std::string settingsPath;
  uint32_t baudRate = 0;
  bool verify = false;
  std::vector<std::string> words;  // AUTOMATIC
  std::string records;  // --records: "" the default database, "none", sqlite:PATH, postgresql://...
  // velmora-cli only
  std::string stationPath;
  bool listPorts = false;
  std::string sysfsRoot = kDefaultSysfsRoot;
  bool check = false;
  std::string restorePath;
  bool otherHandset = false;
  bool exact = false;
  std::string backupPath;
  std::string undoPath;
  std::string timingPath;
  std::string reportPath;
  std::string reportAppendPath;
  bool plan = false;
  bool showHandset = false;
  bool continuous = false;
  bool again = false;
  uint32_t count = 0;
  std::string serveAddress;
  // Set by a station for each of its programs: where it reports its port's state and records,
  // and the list of IMEIs the station's ports have updated.
  std::string stationEvents;
  std::string stationDone;

  // The one port a single run uses ("" when none or several were given).
  std::string Port() const { return ports.size() == 1 ? ports[0] : std::string(); }

  bool operator==(const RunOptions&) const = default;
};

// What a station does with an option given to it.
enum class AtStation {
  Own,      // the station's own business (its ports), or meaningless there
  Forward,  // handed to every velmora-cli it starts
  Refuse,   // a usage error at a station
};

// Adds the options of this front end to the parser, bound to *options (which must outlive it).
void AddRunOptions(CLI::App& app, FrontEnd front, RunOptions* options);

// The arguments that hand a station's options on to one of its children: every forwarded
// option that differs from its default, in the table's order.
std::vector<std::string> StationArguments(const RunOptions& options);

// Whether the options hold one that a station refuses (--map - counts as one).
bool HasStationRefusedOption(const RunOptions& options);

}  // namespace velmora
