#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <tuple>

#include "options/program_options.h"
#include "station/http.h"

namespace velmora {
namespace {

const std::vector<ModeCommand> kModes = {
    {"update", nullptr, nullptr, "Write the map into the handset (also without a subcommand)"},
    {"check", "--check", nullptr, "Read and check the map only, as --check"},
    {"plan", "--plan", nullptr, "Show what the update would do to each block, as --plan"},
    {"restore", "--restore", &RunOptions::restorePath,
     "Write a backup file back into the handset, as --restore FILE"},
    {"backup", "--backup", &RunOptions::backupPath,
     "Read every block of the handset into a backup file, as --backup FILE"},
    {"list-ports", "--list-ports", nullptr, "List the serial devices, as --list-ports"},
    {"station", "--station", &RunOptions::stationPath,
     "Update the handsets on the ports of a station file, as --station FILE"},
};

// history --since: a real day and time of day, as the stored times are written.
std::string SinceProblem(const std::string& since) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  char tail[2] = {};
  const bool dayOnly = since.size() == 10 &&
                       std::sscanf(since.c_str(), "%4u-%2u-%2u%1s", &year, &month, &day, tail) == 3;
  const bool full = (since.size() == 20 || since.size() == 24) &&
                    (std::sscanf(since.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%3uZ%1s", &year, &month,
                                 &day, &hour, &minute, &second, &ms, tail) == 7 ||
                     std::sscanf(since.c_str(), "%4u-%2u-%2uT%2u:%2u:%2uZ%1s", &year, &month, &day,
                                 &hour, &minute, &second, tail) == 6);
  bool digits = true;
  for (size_t i = 0; i < since.size(); ++i) {
    const char c = since[i];
    const bool punctuation = c == '-' || c == 'T' || c == ':' || c == '.' || c == 'Z';
    digits = digits && (punctuation || (c >= '0' && c <= '9'));
  }
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  const bool real = month >= 1 && month <= 12 && day >= 1 &&
                    day <= (month == 2 && !leap ? 28u : kDays[(month - 1) % 12]) && hour < 24 &&
                    minute < 60 && second < 60;
  if ((dayOnly || full) && digits && real) return std::string();
  return "not a UTC time YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS[.mmm]Z: " + since;
}

// A history filter the database could never match is a usage error, not an empty table.
CLI::Validator SinceValidator() {
  return CLI::Validator([](std::string& v) { return SinceProblem(v); }, "TIME");
}

CLI::Validator OutcomeValidator() {
  return CLI::Validator(
      [](std::string& v) {
        for (const char* known : {"succeeded", "failed", "not-connected", "interrupted", "skipped"})
          if (v == known) return std::string();
        return "not an outcome (succeeded, failed, not-connected, interrupted, skipped): " + v;
      },
      "OUTCOME");
}

CLI::Validator Sha1Validator() {
  return CLI::Validator(
      [](std::string& v) {
        bool hex = v.size() == 40;
        for (char c : v) hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
        if (!hex) return "not a SHA-1 (40 hexadecimal digits): " + v;
        // The records keep the digest in lower case.
        for (char& c : v) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        return std::string();
      },
      "SHA1");
}

void AddRecordsCommands(CLI::App& app, RecordsCommands* r, CLI::App** historyCommand,
                        CLI::App** syncCommand) {
  CLI::App* history = app.add_subcommand(
      "history", "List the runs of the records database (--records, else the default one)");
  history->fallthrough();
  records::HistoryRequest& h = r->history;
  history->add_option("--imei", h.imei, "Only the runs of this IMEI");
  CLI::Option* map = history->add_option("--map", r->mapFile, "Only the runs of this map file (by its SHA-1)")
                         ->check(ExistingFile());
  history->add_option("--map-sha1", h.mapSha1, "Only the runs of the map with this SHA-1 (40 hexadecimal digits)")
      ->excludes(map)
      ->transform(Sha1Validator());
  history->add_option("--port", h.port, "Only the runs on this port (as the record names it)");
  history->add_option("--since", h.since, "Only the runs started at or after this UTC time\n"
                                          "(YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS[.mmm]Z)")
      ->check(SinceValidator());
  history->add_option("--outcome", h.outcome,
                      "Only the runs with this outcome (succeeded, failed, not-connected,\n"
                      "interrupted, skipped)")
      ->check(OutcomeValidator());
  CLI::Option* json = history->add_flag("--json", r->json, "The stored records as JSON lines");
  history->add_flag("--csv", r->csv, "CSV with a header line")->excludes(json);
  history->add_flag("--summary", h.summary,
                    "Runs, successes, failures, failure rate and median seconds per day, port and map");
  *historyCommand = history;
  CLI::App* recordsCommand = app.add_subcommand("records", "The records database: records sync");
  recordsCommand->fallthrough();
  recordsCommand->require_subcommand(1, 1);
  *syncCommand = recordsCommand->add_subcommand(
      "sync", "Deliver the outbox to the database of --records (without it, to every database it\n"
              "holds records for); print how many");
  (*syncCommand)->fallthrough();
}

// Whether an option was given, on its own or through the mode that stands for it.
bool Given(const CLI::Option* option, const char* modeFlag) {
  return option->count() > 0 || (modeFlag != nullptr && option->get_name() == modeFlag);
}

// The options that exclude or need another one, judged after the parse: a mode given as a
// subcommand sets its flag only then, and an option may stand on either side of it. False
// after the message, worded as the parser words its own.
bool OptionsFit(const CLI::App& app, const char* modeFlag) {
  for (const CLI::Option* option : app.get_options()) {
    if (!Given(option, modeFlag)) continue;
    for (const CLI::Option* other : option->get_excludes()) {
      if (Given(other, modeFlag)) {
        std::fprintf(stderr, "%s excludes %s\nRun with --help for more information.\n",
                     option->get_name().c_str(), other->get_name().c_str());
        return false;
      }
    }
    for (const CLI::Option* other : option->get_needs()) {
      if (!Given(other, modeFlag)) {
        std::fprintf(stderr, "%s requires %s\nRun with --help for more information.\n",
                     option->get_name().c_str(), other->get_name().c_str());
        return false;
      }
    }
  }
  return true;
}

// The relations between the run's options, taken off the parser for the parse and put back
// afterwards (for --help and for OptionsFit).
class DeferredRelations {
 public:
  explicit DeferredRelations(CLI::App& app) {
    for (CLI::Option* option : app.get_options()) {
      for (CLI::Option* other : option->get_excludes()) relations_.emplace_back(option, other, true);
      for (CLI::Option* other : option->get_needs()) relations_.emplace_back(option, other, false);
    }
    for (auto& [option, other, excludes] : relations_)
      excludes ? option->remove_excludes(other) : option->remove_needs(other);
  }
  void PutBack() {
    for (auto& [option, other, excludes] : relations_)
      excludes ? option->excludes(other) : option->needs(other);
    relations_.clear();
  }

 private:
  std::vector<std::tuple<CLI::Option*, CLI::Option*, bool>> relations_;
};

void ApplyMode(const ModeCommand& mode, RunOptions* o) {
  const std::string flag = mode.flag ? mode.flag : "";
  if (flag == "--check") o->check = true;
  if (flag == "--plan") o->plan = true;
  if (flag == "--list-ports") o->listPorts = true;
}

constexpr char kDescription[] =
    "velmora-cli writes a mapping (numbered configuration blocks) into a handset's block\n"
    "store over a serial line. Without a handset at hand, --port sim: runs the update on\n"
    "the built-in simulated handset.\n\n"
    "Exit status: 0 success, 1 the update failed after the handset was connected\n"
    "(or --check found the map bad, or the map, settings or an output could not be used),\n"
    "2 the handset could not be connected, 64 a usage error, 129/130/143 a SIGHUP/SIGINT/\n"
    "SIGTERM that arrived during a garbage collection ended the run once the blocks were\n"
    "back (128 + the signal's number).";

}  // namespace

const std::vector<ModeCommand>& ModeCommands() { return kModes; }

int ParseCliArguments(const std::vector<std::string>& arguments, RunOptions* o,
                      RecordsCommands* recordsCommands) {
  CLI::App app{kDescription};
  AddVersionFlag(app, "velmora-cli");
  AddRunOptions(app, FrontEnd::Console, o);
  std::vector<CLI::App*> modes;
  for (const ModeCommand& mode : kModes) {
    CLI::App* sub = app.add_subcommand(mode.name, mode.help);
    sub->fallthrough();
    if (mode.file) sub->add_option("FILE", o->*mode.file, "The file")->required();
    sub->add_option("words", o->words, "AUTOMATIC: unattended")->check(CLI::IsMember({"AUTOMATIC"}));
    modes.push_back(sub);
  }
  CLI::App* historyCommand = nullptr;
  CLI::App* syncCommand = nullptr;
  AddRecordsCommands(app, recordsCommands, &historyCommand, &syncCommand);
  // An address the page can never serve is a bad value like any other, refused before anything.
  app.get_option("--serve")->check(CLI::Validator(
      [](std::string& address) {
        std::string host;
        int port = 0;
        std::string why;
        return ParseServeAddress(address, &host, &port, &why) ? std::string() : why;
      },
      "[HOST:]PORT"));
  app.require_subcommand(0, 1);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  DeferredRelations relations(app);
  int status = -1;
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    relations.PutBack();
    status = app.exit(e) == 0 ? 0 : kExitUsage;
  }
  relations.PutBack();
  if (status >= 0) return status;
  recordsCommands->historyGiven = historyCommand->parsed();
  recordsCommands->syncGiven = syncCommand->parsed();
  const char* modeFlag = nullptr;
  for (size_t i = 0; i < modes.size(); ++i) {
    if (!modes[i]->parsed()) continue;
    if (kModes[i].flag && app.get_option(kModes[i].flag)->count() > 0) {
      std::fprintf(stderr, "%s: the subcommand %s and %s are the same mode; give one\n"
                   "Run with --help for more information.\n", kModes[i].name, kModes[i].name,
                   kModes[i].flag);
      return kExitUsage;
    }
    ApplyMode(kModes[i], o);
    modeFlag = kModes[i].flag;
  }
  if (!OptionsFit(app, modeFlag)) return kExitUsage;
  for (const std::string& p : o->ports) {
    if (p.empty()) {
      std::fprintf(stderr, "--port: an empty device name\nRun with --help for more information.\n");
      return kExitUsage;
    }
  }
  return -1;
}

}  // namespace velmora
