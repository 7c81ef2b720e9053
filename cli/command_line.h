// velmora-cli's command line: the run's options of the table (options/run_options.h), the mode
// subcommands that stand for their flags, and the records database's own subcommands. Kept
// apart from Main so that the tests parse every form of every option without running a thing.
#pragma once

#include <string>
#include <vector>

#include "options/run_options.h"
#include "records/records.h"

namespace velmora {

// velmora-cli's modes as subcommands; each is the same as the flag it names, which keeps
// working. A mode that takes a file takes it as its argument.
struct ModeCommand {
  const char* name;
  const char* flag;  // the flag the mode stands for; null for update, the default
  std::string RunOptions::*file;
  const char* help;
};

// The modes, in the order --help lists them.
const std::vector<ModeCommand>& ModeCommands();

// The records database's own subcommands: history, and records sync.
struct RecordsCommands {
  records::HistoryRequest history;
  std::string mapFile;  // history --map: the map's SHA-1 as this program reads the map
  bool json = false;
  bool csv = false;
  // Which subcommand was given.
  bool historyGiven = false;
  bool syncGiven = false;
};

// Parses the arguments (program first, UTF-8) into *o and *recordsCommands. -1: go on;
// otherwise the exit status, the help, the version or the parser's message having been
// printed. An option stands before or after a mode's subcommand alike, and is judged as with
// the flag the subcommand stands for.
int ParseCliArguments(const std::vector<std::string>& arguments, RunOptions* o,
                      RecordsCommands* recordsCommands);

}  // namespace velmora
