#include "options/run_options.h"

#include <variant>

#include "options/program_options.h"

namespace velmora {
namespace {

using Field = std::variant<std::string RunOptions::*, bool RunOptions::*, uint32_t RunOptions::*,
                           std::vector<std::string> RunOptions::*>;

struct OptionRow {
  const char* name;  // "--map", or "words" for the positional AUTOMATIC
  Field field;
  const char* help;
  bool dialog;  // the dialog takes it too
  AtStation station;
  // The dialog's own help, where it says something else than velmora-cli's.
  const char* dialogHelp = nullptr;
  // Checks and relations to the options above it in the table.
  void (*shape)(CLI::Option* option, FrontEnd front) = nullptr;
};

constexpr const char kPortHelp[] =
    "Device for the configured port (COM1 unless the settings say otherwise): a path\n"
    "such as /dev/ttyUSB0, a USB adapter by identity usb:VID:PID[:SERIAL],\n"
    "rfc2217://HOST:PORT, or sim: / sim:PROFILE for the simulated handset.";

const OptionRow kOptions[] = {
    {"--map", &RunOptions::mapPath,
     "Map file to write, - for standard input; read in text mode as Open File reads it", true,
     AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd) { o->check(ExistingFileOrStdin()); }},
    {"--port", &RunOptions::ports, kPortHelp, true, AtStation::Own, nullptr,
     [](CLI::Option* o, FrontEnd front) {
       o->allow_extra_args(false);
       // The dialog drives one handset; velmora-cli runs a station for several ports.
       if (front == FrontEnd::Console) {
         o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
         o->description(std::string(kPortHelp) +
                        "\nGiven more than once: station mode, one update per port at the same time");
       } else {
         o->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
       }
     }},
    {"--station", &RunOptions::stationPath,
     "Station mode: update the handsets on the ports of this file (one port a line,\n"
     "optionally followed by its log file; # comments) at the same time, each with\n"
     "its own log, then print a summary; exit 0 only when every handset succeeded",
     false, AtStation::Own, nullptr, [](CLI::Option* o, FrontEnd) { o->excludes("--port"); }},
    {"--list-ports", &RunOptions::listPorts,
     "List the serial devices with their USB identity (for --port usb:...) and driver", false,
     AtStation::Own},
    {"--sysfs-root", &RunOptions::sysfsRoot,
     "Linux: root of the device tree that --list-ports and usb: ports read (default\n"
     "/sys; for tests)",
     false, AtStation::Forward},
    {"--baud", &RunOptions::baudRate, "Baud rate of the link (default: the settings, else 57600)",
     true, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd) { o->check(CLI::Range(1200u, 4000000u)); }},
    {"--settings", &RunOptions::settingsPath,
     "Settings file in registry-export format (default: $VELMORA_SETTINGS, else\n"
     "$XDG_CONFIG_HOME/velmora/settings.reg or ~/.config/velmora/settings.reg)",
     true, AtStation::Forward},
    {"--check", &RunOptions::check,
     "Read and check the map only (no handset); exit 0 for a good map", false, AtStation::Refuse},
    {"--restore", &RunOptions::restorePath,
     "Write the blocks of a backup file back into the handset and read each back to\n"
     "compare: a handset backup (.vbk: of --backup or --undo, a write-ahead copy, the\n"
     "companion of mapsave.eel; both areas, and with --exact the blocks it did not hold\n"
     "deleted) or the Eelite blocks of mapsave.eel; exit 0 when every block is back",
     false, AtStation::Refuse, nullptr, [](CLI::Option* o, FrontEnd) { o->excludes("--check"); }},
    {"--other-handset", &RunOptions::otherHandset,
     "With --restore: write the blocks even when the backup names another handset\n"
     "than the connected one, or names none (a bare mapsave.eel); the log says so",
     false, AtStation::Own, nullptr, [](CLI::Option* o, FrontEnd) { o->needs("--restore"); }},
    {"--exact", &RunOptions::exact,
     "With --restore: put the store back exactly, deleting the blocks the backup says were\n"
     "not there and, for a full backup, whatever exists beyond the numbers it asked for up\n"
     "to the handset's highest block number now (always so for an undo file)",
     false, AtStation::Own, nullptr, [](CLI::Option* o, FrontEnd) { o->needs("--restore"); }},
    {"--backup", &RunOptions::backupPath,
     "Read every block of both areas of the handset into this file (a handset backup,\n"
     "see docs/backup-format.md), change nothing, switch the handset off",
     false, AtStation::Refuse, nullptr,
     [](CLI::Option* o, FrontEnd) { o->excludes("--check")->excludes("--restore"); }},
    {"--timing", &RunOptions::timingPath,
     "Write phase times and line counts of the run here (key=value; for the\n"
     "whole-run benchmark)",
     false, AtStation::Refuse},
    {"--verify", &RunOptions::verify,
     "Read every block back after writing or creating it and compare it with the map;\n"
     "a difference fails the block and the run",
     true, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd front) {
       if (front == FrontEnd::Console) o->excludes("--check");
     }},
    {"--report", &RunOptions::reportPath,
     "Write the run's record here as one JSON object (replaced whole, never left\n"
     "half-written; see docs/run-record.md)",
     false, AtStation::Refuse, nullptr, [](CLI::Option* o, FrontEnd) { o->excludes("--check"); }},
    {"--report-append", &RunOptions::reportAppendPath,
     "Append the run's record to this file as one line of JSON (an audit trail)", false,
     AtStation::Forward, nullptr, [](CLI::Option* o, FrontEnd) { o->excludes("--check"); }},
    {"--records", &RunOptions::records,
     "Store the run's record in this database as well: sqlite:PATH, postgresql://...\n"
     "(what a server cannot take waits in an outbox in the private state folder and\n"
     "goes with the next run or 'records sync'), or none. Default: the SQLite file\n"
     "records.sqlite in the private state folder. A run waits at most 2 s to connect,\n"
     "3 s per statement and 2 s for another program's lock (docs/records.md)",
     true, AtStation::Forward},
    {"--undo", &RunOptions::undoPath,
     "Before the first change, keep every block the map may change (and the version record)\n"
     "in this file; --restore FILE takes the update back, also a failed or interrupted one.\n"
     "{imei} in the name stands for the handset's IMEI; a station writes one per handset",
     true, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd front) {
       if (front == FrontEnd::Console) o->excludes("--check")->excludes("--restore")->excludes("--backup");
     }},
    {"--plan", &RunOptions::plan,
     "Connect, read what the handset holds and print what the update would do to\n"
     "each block (write, create, delete, nothing; size changes; garbage collection);\n"
     "write nothing, switch the handset off; exit 0 when the map fits the handset",
     false, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd) {
       o->excludes("--check")->excludes("--restore")->excludes("--verify")->excludes("--backup")
           ->excludes("--undo");
     }},
    {"--continuous", &RunOptions::continuous,
     "Update handset after handset on the port (every port of a station): after each\n"
     "one, wait for it to be taken away and for the next (looking quietly, 4 times a\n"
     "second), until interrupted or --count; a handset updated at this station before\n"
     "is switched off untouched. Interrupt once to stop after the handset on the line,\n"
     "twice to stop at once. Each handset appends its own record (--report-append)\n"
     "and writes its own undo file (--undo)",
     true, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd front) {
       if (front == FrontEnd::Console)
         o->excludes("--check")->excludes("--restore")->excludes("--backup")->excludes("--plan")
             ->excludes("--report")->excludes("--timing");
     }},
    {"--again", &RunOptions::again,
     "With --continuous: update a handset again that was updated at this station before",
     true, AtStation::Forward, nullptr, [](CLI::Option* o, FrontEnd) { o->needs("--continuous"); }},
    {"--count", &RunOptions::count,
     "With --continuous: stop a port after this many handsets (those turned away not\n"
     "counted)",
     true, AtStation::Forward, nullptr,
     [](CLI::Option* o, FrontEnd) { o->needs("--continuous")->check(CLI::Range(1u, 1000000000u)); }},
    {"--serve", &RunOptions::serveAddress,
     "Serve a live, read-only page of every port of the station (or of the one --port)\n"
     "at [HOST:]PORT (HOST is 127.0.0.1 unless named; 0 as PORT takes a free one; the\n"
     "address is printed)",
     false, AtStation::Own},
    {"--station-events", &RunOptions::stationEvents,
     "", false, AtStation::Own, nullptr, [](CLI::Option* o, FrontEnd) { o->group(""); }},
    {"--station-done", &RunOptions::stationDone,
     "", false, AtStation::Own, nullptr, [](CLI::Option* o, FrontEnd) { o->group(""); }},
    {"--show-handset", &RunOptions::showHandset,
     "After the run, print what the simulated handset's block store holds", false,
     AtStation::Forward},
    {"words", &RunOptions::words,
     "AUTOMATIC anywhere on the command line runs unattended: no waiting for Enter", true,
     AtStation::Own,
     "AUTOMATIC anywhere on the command line runs the update at once and ends the\n"
     "dialog when it is done",
     [](CLI::Option* o, FrontEnd) { o->check(CLI::IsMember({"AUTOMATIC"})); }},
};

CLI::Option* AddRow(CLI::App& app, const OptionRow& row, const char* help, RunOptions* options) {
  return std::visit(
      [&](auto member) -> CLI::Option* {
        auto& target = options->*member;
        if constexpr (std::is_same_v<std::remove_reference_t<decltype(target)>, bool>)
          return app.add_flag(row.name, target, help);
        else
          return app.add_option(row.name, target, help);
      },
      row.field);
}

}  // namespace

void AddRunOptions(CLI::App& app, FrontEnd front, RunOptions* options) {
  for (const OptionRow& row : kOptions) {
    if (front == FrontEnd::Dialog && !row.dialog) continue;
    const char* help = front == FrontEnd::Dialog && row.dialogHelp ? row.dialogHelp : row.help;
    CLI::Option* option = AddRow(app, row, help, options);
    if (row.shape) row.shape(option, front);
  }
}

std::vector<std::string> StationArguments(const RunOptions& options) {
  const RunOptions defaults;
  std::vector<std::string> args;
  for (const OptionRow& row : kOptions) {
    if (row.station != AtStation::Forward) continue;
    std::visit(
        [&](auto member) {
          const auto& value = options.*member;
          if (value == defaults.*member) return;
          using T = std::remove_cvref_t<decltype(value)>;
          if constexpr (std::is_same_v<T, bool>) {
            args.push_back(row.name);
          } else if constexpr (std::is_same_v<T, uint32_t>) {
            args.insert(args.end(), {row.name, std::to_string(value)});
          } else if constexpr (std::is_same_v<T, std::string>) {
            args.insert(args.end(), {row.name, value});
          } else {
            for (const std::string& v : value) args.insert(args.end(), {row.name, v});
          }
        },
        row.field);
  }
  return args;
}

bool HasStationRefusedOption(const RunOptions& options) {
  if (options.mapPath == "-") return true;
  const RunOptions defaults;
  for (const OptionRow& row : kOptions) {
    if (row.station != AtStation::Refuse) continue;
    const bool given = std::visit(
        [&](auto member) { return !(options.*member == defaults.*member); }, row.field);
    if (given) return true;
  }
  return false;
}

}  // namespace velmora
