// velmora-cli's command line: every option of the run's table with every mode, given as the
// mode's flag and as its subcommand with the option before or after it, parses alike; the
// history's filters that could never match are refused.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace velmora {
namespace {

struct Parsed {
  int status = -1;
  RunOptions options;
  RecordsCommands records;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "velmora-cli");
  Parsed p;
  p.status = ParseCliArguments(args, &p.options, &p.records);
  return p;
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

struct TableOption {
  std::string name;
  bool flag;
  bool positional;
};

// The options as the parser has them from the table (the hidden ones a station hands its
// programs among them).
std::vector<TableOption> OptionTable() {
  CLI::App app;
  RunOptions o;
  AddRunOptions(app, FrontEnd::Console, &o);
  std::vector<TableOption> table;
  for (const CLI::Option* option : app.get_options()) {
    const bool positional = option->get_lnames().empty();
    const std::string name = positional ? std::string("words") : "--" + option->get_lnames()[0];
    if (name == "--help") continue;
    table.push_back({name, option->get_expected_max() == 0, positional});
  }
  return table;
}

// One good value per option; a plain file name for the rest.
std::vector<std::string> OptionWords(const TableOption& option) {
  static const std::map<std::string, std::string> kValues = {
      {"--map", "-"},          {"--port", "sim:"},        {"--baud", "57600"},
      {"--count", "3"},        {"--serve", "127.0.0.1:0"}, {"--sysfs-root", "/sys"},
      {"--records", "none"},
  };
  if (option.positional) return {"AUTOMATIC"};
  if (option.flag) return {option.name};
  const auto it = kValues.find(option.name);
  return {option.name, it == kValues.end() ? "file-" + option.name.substr(2) : it->second};
}

TEST(CommandLine, EveryOptionTakesBothFormsOfEveryMode) {
  const std::vector<TableOption> table = OptionTable();
  ASSERT_GT(table.size(), 20u);
  int accepted = 0;
  for (const ModeCommand& mode : ModeCommands()) {
    std::vector<std::string> sub = {mode.name};
    std::vector<std::string> flag;
    if (mode.flag) flag.push_back(mode.flag);
    if (mode.file) {
      sub.push_back("mode-file");
      flag.push_back("mode-file");
    }
    for (const TableOption& option : table) {
      if (mode.flag && option.name == mode.flag) continue;
      const std::vector<std::string> words = OptionWords(option);
      std::vector<std::string> asFlag = flag;
      asFlag.insert(asFlag.end(), words.begin(), words.end());
      std::vector<std::string> after = sub;
      after.insert(after.end(), words.begin(), words.end());
      std::vector<std::string> before = words;
      before.insert(before.end(), sub.begin(), sub.end());
      const Parsed byFlag = Parse(asFlag);
      for (const auto& form : {after, before}) {
        SCOPED_TRACE(Joined(form) + "  vs  " + Joined(asFlag));
        const Parsed bySub = Parse(form);
        EXPECT_EQ(bySub.status, byFlag.status);
        if (bySub.status == -1 && byFlag.status == -1) {
          EXPECT_TRUE(bySub.options == byFlag.options);
          ++accepted;
        }
      }
    }
  }
  // Most pairs go together; a table whose relations refused everything would pass above.
  EXPECT_GT(accepted, 150);
}

TEST(CommandLine, RestoreTakesItsOptionsInEveryForm) {
  const std::vector<std::vector<std::string>> forms = {
      {"restore", "u.vbk", "--exact"},           {"--exact", "restore", "u.vbk"},
      {"--restore", "u.vbk", "--exact"},         {"restore", "u.vbk", "--other-handset"},
      {"--other-handset", "restore", "u.vbk"},   {"restore", "u.vbk", "--exact", "--other-handset", "AUTOMATIC"},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(Joined(form));
    const Parsed p = Parse(form);
    ASSERT_EQ(p.status, -1);
    EXPECT_EQ(p.options.restorePath, "u.vbk");
  }
  EXPECT_TRUE(Parse({"restore", "u.vbk", "--exact", "--other-handset"}).options.otherHandset);
}

// Relations the table draws still hold in every form: what the flag refuses, the subcommand
// refuses too.
TEST(CommandLine, RelationsHoldInEveryForm) {
  const std::vector<std::vector<std::string>> refused = {
      {"--exact"},                                {"--other-handset", "--map", "-"},
      {"check", "--verify"},                      {"--verify", "check"},
      {"backup", "b.vbk", "--restore", "r.vbk"}, {"--restore", "r.vbk", "backup", "b.vbk"},
      {"plan", "--undo", "u.vbk"},                {"--again", "update"},
      {"restore", "r.vbk", "--restore", "r.vbk"}, {"station", "s.txt", "--port", "sim:"},
  };
  for (const auto& form : refused) {
    SCOPED_TRACE(Joined(form));
    EXPECT_EQ(Parse(form).status, 64);
  }
}

TEST(CommandLine, ValuesThatCanNeverWorkAreUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"history", "--since", "2026-13-45"}, 64},
      {{"history", "--since", "2026-02-29"}, 64},
      {{"history", "--since", "2026-12-01T24:00:00Z"}, 64},
      {{"history", "--since", "2026-12-1"}, 64},
      {{"history", "--since", "+026-12-01"}, 64},
      {{"history", "--since", "yesterday"}, 64},
      {{"history", "--outcome", "bogus"}, 64},
      {{"history", "--map-sha1", "XYZ"}, 64},
      {{"history", "--map-sha1", "0123456789abcdef0123456789abcdef0123456"}, 64},
      {{"--port", "sim:", "--serve", "65536"}, 64},
      {{"--port", "sim:", "--serve", "127.0.0.1:99999"}, 64},
      {{"--port", "sim:", "--serve", "65535"}, -1},
      {{"history", "--since", "2028-02-29"}, -1},
      {{"history", "--since", "2026-12-01T23:59:59.999Z"}, -1},
      {{"history", "--since", "2026-12-01T00:00:00Z"}, -1},
      {{"history", "--outcome", "not-connected"}, -1},
      {{"history", "--map-sha1", "0123456789ABCDEF0123456789abcdef01234567"}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    EXPECT_EQ(Parse(c.args).status, c.status);
  }
  // The records keep the digest in lower case.
  EXPECT_EQ(Parse({"history", "--map-sha1", "0123456789ABCDEF0123456789abcdef01234567"}).records.history.mapSha1,
            "0123456789abcdef0123456789abcdef01234567");
}

}  // namespace
}  // namespace velmora
