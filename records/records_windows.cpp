// The Windows build has no database library: records are kept as JSON there (--report,
// --report-append), and asking for a database says so.
#include "records/records.h"
#include "records/records_url.h"

namespace velmora::records {
namespace {

constexpr char kJsonOnly[] =
    "records are kept as JSON only on Windows (--report, --report-append); --records takes none there";

}  // namespace

bool ParsePostgresUrl(const std::string& value, RecordsTarget* target, std::string*) {
  // Only recognised, to be refused below: the URL is not repeated, it may hold a password.
  target->kind = RecordsKind::Postgres;
  target->location = value;
  target->shown = value.substr(0, value.find("://") + 3) + "...";
  return true;
}

void HidePasswordsInArguments(int, char**) {}

bool CheckRecordsOption(const std::string& value, std::string* sqlitePath, std::string* why) {
  sqlitePath->clear();
  RecordsTarget target;
  if (!ParseRecordsUrl(value, &target, why)) return false;
  if (target.kind == RecordsKind::Default || target.kind == RecordsKind::None) return true;
  *why = "--records " + (target.kind == RecordsKind::Postgres ? target.shown : value) + ": " + kJsonOnly;
  return false;
}

Readiness CheckRecordsDatabase(const std::string&, std::string*) { return Readiness::Ready; }

Stored StoreRunRecord(const std::string&, const std::string&, std::string*) { return Stored::Off; }

void PrepareConnection(const std::string&, const std::string&) {}

void CloseKeptConnections() {}

bool SyncOutbox(const std::string&, int* delivered, int* waiting, std::string* why) {
  *delivered = *waiting = 0;
  *why = kJsonOnly;
  return false;
}

bool ShowHistory(const std::string&, const HistoryRequest&, std::string*, std::string* why) {
  *why = kJsonOnly;
  return false;
}

}  // namespace velmora::records
