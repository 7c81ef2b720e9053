// The run's record as both front ends keep it: filled while the run goes, written at its end to
// the JSON files asked for (--report, --report-append) and stored in the records database
// (--records; by default the embedded one), always after the handset was switched off.
#pragma once

#include <string>
#include <vector>

#include "app/run_report.h"
#include "app/startup.h"
#include "platform/output_file.h"

namespace velmora {

struct RecordSetup {
  std::string program;         // "velmora-cli", "velmora"
  std::string mode = "update";  // "update", "restore", "backup", "plan"
  std::string mapFile;         // as given
  bool mapFromModel = true;    // the record names the model's map (not for a restore)
  bool verify = false;
  std::string port;            // as given to --port
  std::string reportPath;      // --report
  std::string reportAppendPath;  // --report-append
  std::string records;         // --records: "" the default database, "none" no database
  bool textWanted = false;     // the record's text is wanted even without a file (a station's events)
};

// Checks --records before the run: a value it takes, and a SQLite file that may be written as
// an output (platform/output_file.h: no device, FIFO, folder or socket, none of the inputs).
// False with the reason.
bool CheckRecordsOutput(const std::string& value, const std::vector<RunInput>& inputs, std::string* why);

// The whole check of --records before any port is touched.
enum class RecordsCheck {
  Go,          // the run may go (a database that cannot take its record now was warned of on
               // stderr: the record will wait in the outbox)
  Unreadable,  // the value names no database: a usage error
  Refused,     // the file or server named can never take a record as it is
};
// *why: the reason, for an error message, when not Go. The database itself is opened only when
// openDatabase (not for what keeps no record).
RecordsCheck CheckRecordsBeforeRun(const std::string& value, const std::vector<RunInput>& inputs,
                                   bool openDatabase, std::string* why);

// What a station hands its programs for --records: the value without a server's password, which
// goes in *password ("" when none) for the programs' environment (PGPASSWORD). False when the
// value holds a secret that cannot be handed on so (a key's pass phrase), with the reason.
bool RecordsForPrograms(const std::string& value, std::string* forwarded, std::string* password,
                        std::string* why);

// Overwrites the passwords of the PostgreSQL URLs among the program's arguments, so that other
// users do not read them in its command line (records/records_url.h).
void HideRecordsPasswords(int argc, char** argv);

// "succeeded", "failed", "not-connected", "skipped".
const char* RunOutcomeName(RunOutcome outcome);

// A new run id: 128 random bits as 32 lower-case hex digits.
std::string NewRunId();

class RecordKeeper {
 public:
  RecordKeeper(RecordSetup setup, Program& program);
  ~RecordKeeper();
  RecordKeeper(const RecordKeeper&) = delete;
  RecordKeeper& operator=(const RecordKeeper&) = delete;

  // Writes and stores the record. False when a file or the database asked for could not take
  // it (the reasons are on stderr and in problem()); the default database failing only warns.
  bool Finish(int status, const char* outcome, const std::string& error);

  // The record as written, "" before Finish or when no record is wanted.
  const std::string& line() const { return line_; }
  bool kept() const { return kept_; }
  const std::string& problem() const { return problem_; }

 private:
  bool Wanted() const;
  void WriteFiles(const std::string& line);
  void Store();
  RecordSetup setup_;
  Program& program_;
  RunReport report_;
  std::string line_;
  std::string problem_;
  bool kept_ = true;
};

// The dialog's Start: one update with its record (exit status 0 or 3 as the dialog ends).
// A record kept nowhere is said in an error box and, unattended, ends the dialog with the
// failure status even after a successful update: a line that counts on its records must hear
// of it. *kept: whether the record was kept.
RunOutcome StartRecorded(Program& program, const RecordSetup& setup, std::string* error = nullptr,
                         const HandsetGate& gate = {}, bool* kept = nullptr);

}  // namespace velmora
