#include "update/backup_output.h"

#include "handset/session.h"
#include "platform/record_file.h"
#include "update/handset_backup.h"

namespace velmora {
namespace {

// Names tried beside an existing file before giving up: far more than runs of one handset.
constexpr int kMaxBesideNames = 999;

// path with "-n" before its extension ("undo-2.vbk" for n 2 of "undo.vbk").
std::string Beside(const std::string& path, int n) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  const size_t at =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) ? dot : path.size();
  return path.substr(0, at) + "-" + std::to_string(n) + path.substr(at);
}

}  // namespace

std::string HandsetNamePart(const std::string& imeiAnswer, const std::string& created) {
  if (IsImei(imeiAnswer)) return imeiAnswer;
  std::string stamp;
  for (char c : created)
    if (c != '-' && c != ':') stamp += c;
  return std::string(kUnknownImei) + "-" + stamp;
}

std::string FillImei(const std::string& path, const std::string& namePart) {
  std::string filled = path;
  const std::string placeholder = kImeiPlaceholder;
  for (size_t at = filled.find(placeholder); at != std::string::npos;
       at = filled.find(placeholder, at + namePart.size()))
    filled.replace(at, placeholder.size(), namePart);
  return filled;
}

bool WriteNewCopy(const std::string& path, const std::string& bytes,
                  const std::vector<RunInput>& keep, std::string* written, std::string* why) {
  for (int n = 1; n <= kMaxBesideNames; ++n) {
    const std::string candidate = n == 1 ? path : Beside(path, n);
    if (!CheckOutputPath(candidate, LinkRule::Refuse, keep, why)) return false;
    if (LookAtPath(candidate, false, nullptr) != PathKind::Missing) continue;
    if (CreateFileWhole(candidate, bytes, why)) {
      *written = candidate;
      return true;
    }
    // Another program took the name in the meantime: the next one.
    if (LookAtPath(candidate, false, nullptr) == PathKind::Missing) return false;
  }
  *why = path + " and the names beside it up to " + Beside(path, kMaxBesideNames) + " exist";
  return false;
}

}  // namespace velmora
