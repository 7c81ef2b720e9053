// POSIX: the settings live in a registry-export file under the user's configuration folder.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/settings_store.h"

namespace velmora {

std::string SettingsStore::DefaultPath() {
  const char* explicitPath = std::getenv("VELMORA_SETTINGS");
  if (explicitPath && *explicitPath) return explicitPath;
  // A relative XDG_CONFIG_HOME is invalid and is ignored, as the base-directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/velmora/settings.reg";
  std::string home;
  const char* h = std::getenv("HOME");
  if (h && *h) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return home + "/.config/velmora/settings.reg";
}

bool SettingsStore::LoadSystem(std::string* error) { return LoadFile(DefaultPath(), error); }

}  // namespace velmora
