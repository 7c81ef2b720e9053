#include "app/record_keeper.h"

#include <chrono>
#include <cstdio>
#include <random>

#include "app/dialog_run.h"
#include "options/release.h"
#include "platform/interrupt.h"
#include "platform/record_file.h"
#include "records/records.h"
#include "records/records_url.h"

namespace velmora {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string PortName(const std::string& given, uint8_t portIndex) {
  if (!given.empty()) return given;
  if (portIndex < 9) return "COM" + std::to_string(portIndex + 1);
  return portIndex == 9 ? std::string("COM:") : std::string();
}

}  // namespace

bool CheckRecordsOutput(const std::string& value, const std::vector<RunInput>& inputs, std::string* why) {
  std::string sqlitePath;
  if (!records::CheckRecordsOption(value, &sqlitePath, why)) return false;
  // SQLite writes its file in place (and a journal beside it): a link to a file is taken.
  return sqlitePath.empty() || CheckOutputPath(sqlitePath, LinkRule::Follow, inputs, why);
}

RecordsCheck CheckRecordsBeforeRun(const std::string& value, const std::vector<RunInput>& inputs,
                                   bool openDatabase, std::string* why) {
  std::string sqlitePath;
  if (!records::CheckRecordsOption(value, &sqlitePath, why)) return RecordsCheck::Unreadable;
  if (!CheckRecordsOutput(value, inputs, why)) return RecordsCheck::Refused;
  if (!openDatabase) return RecordsCheck::Go;
  switch (records::CheckRecordsDatabase(value, why)) {
    case records::Readiness::Ready: return RecordsCheck::Go;
    case records::Readiness::Refused: return RecordsCheck::Refused;
    case records::Readiness::Passing: break;
  }
  // A server that cannot be reached, a file locked: no reason to stop a line.
  std::fprintf(stderr, "warning: %s; the run records wait in the outbox until it takes them\n", why->c_str());
  return RecordsCheck::Go;
}

bool RecordsForPrograms(const std::string& value, std::string* forwarded, std::string* password,
                        std::string* why) {
  records::RecordsTarget target;
  *forwarded = value;
  password->clear();
  if (!records::ParseRecordsUrl(value, &target, why) || target.kind != records::RecordsKind::Postgres) return true;
  if (target.keyPassPhrase) {
    *why = "--records " + target.shown + ": a station passes no secret on its programs' command lines, and "
           "libpq takes sslpassword from nowhere else: use a client key without a pass phrase, kept private";
    return false;
  }
  *forwarded = target.shown;
  *password = target.password;
  return true;
}

void HideRecordsPasswords(int argc, char** argv) { records::HidePasswordsInArguments(argc, argv); }

const char* RunOutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded: return "succeeded";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::NotConnected: return "not-connected";
    case RunOutcome::Skipped: return "skipped";
  }
  return "failed";
}

std::string NewRunId() {
  std::random_device random;
  std::string id;
  char part[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    id += part;
  }
  return id;
}

RecordKeeper::RecordKeeper(RecordSetup setup, Program& program)
    : setup_(std::move(setup)), program_(program) {
  report_.program = setup_.program;
  report_.version = kReleaseVersion;
  report_.runId = NewRunId();
  report_.mode = setup_.mode;
  report_.mapFile = setup_.mapFile;
  report_.verify = setup_.verify;
  report_.startMs = NowMs();
  if (Wanted()) program.SetRunRecord(&report_.record);
  records::PrepareConnection(setup_.records, report_.runId);
}

RecordKeeper::~RecordKeeper() {
  if (Wanted()) program_.SetRunRecord(nullptr);
}

bool RecordKeeper::Wanted() const {
  return !setup_.reportPath.empty() || !setup_.reportAppendPath.empty() || setup_.textWanted ||
         setup_.records != "none";
}

bool RecordKeeper::Finish(int status, const char* outcome, const std::string& error) {
  if (!Wanted()) return true;
  report_.endMs = NowMs();
  report_.mapText = setup_.mapFromModel ? program_.model().MapText() : nullptr;
  report_.port = PortName(setup_.port, program_.linkSettings().portIndex);
  report_.baudRate = program_.linkSettings().baudRate;
  report_.hardwareProduct = program_.HardwareProduct();
  report_.outcome = outcome;
  report_.error = error;
  report_.exitStatus = status;
  line_ = FormatRunReport(report_);
  WriteFiles(line_ + "\n");
  Store();
  return kept_;
}

void RecordKeeper::WriteFiles(const std::string& line) {
  std::string why;
  if (!setup_.reportPath.empty() && !ReplaceFileWhole(setup_.reportPath, line, &why)) {
    problem_ = "cannot write the run record: " + why;
    std::fprintf(stderr, "error: %s\n", problem_.c_str());
    kept_ = false;
  }
  if (!setup_.reportAppendPath.empty() && !AppendWholeLine(setup_.reportAppendPath, line, &why)) {
    problem_ = "cannot append the run record: " + why;
    std::fprintf(stderr, "error: %s\n", problem_.c_str());
    kept_ = false;
  }
}

void RecordKeeper::Store() {
  std::string why;
  switch (records::StoreRunRecord(setup_.records, line_, &why)) {
    case records::Stored::Off:
    case records::Stored::Database: return;
    case records::Stored::Outbox:
      std::fprintf(stderr, "warning: the run record waits in the outbox: %s\n", why.c_str());
      return;
    case records::Stored::Nowhere: break;
  }
  // The default database was not asked for: a run is not failed for it.
  if (setup_.records.empty()) {
    std::fprintf(stderr, "warning: cannot keep the run record in the default database: %s\n", why.c_str());
    return;
  }
  problem_ = "cannot store the run record: " + why;
  std::fprintf(stderr, "error: %s\n", problem_.c_str());
  kept_ = false;
}

RunOutcome StartRecorded(Program& program, const RecordSetup& setup, std::string* error,
                         const HandsetGate& gate, bool* kept) {
  RecordKeeper record(setup, program);
  std::string text;
  const RunOutcome outcome = program.Start(&text, gate);
  const bool good = outcome == RunOutcome::Succeeded || outcome == RunOutcome::Skipped;
  // A run that a held request (a line's second interrupt) cut short is recorded as such, with
  // the blocks written so far.
  const int held = good ? 0 : HeldInterrupt();
  const bool recordKept =
      held != 0 ? record.Finish(InterruptExitStatus(held), "interrupted", text)
                : record.Finish(good ? 0 : kEndFailure, RunOutcomeName(outcome), text);
  if (!recordKept) {
    DialogModel& model = program.model();
    model.ShowMessageBox(record.problem(), MessageIcon::Error);
    // The run has already ended the dialog with its own result; this one takes its place.
    if (model.Unattended() && outcome != RunOutcome::NotConnected) model.EndDialog(kEndFailure);
  }
  if (error != nullptr) *error = text;
  if (kept != nullptr) *kept = recordKept;
  return outcome;
}

}  // namespace velmora
