// Windows: the settings are read from the registry itself. The values are copied as the
// registry holds them (type and bytes), so that the store's queries check types and sizes
// exactly as a direct query would.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/environment.h"
#include "platform/settings_store.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

constexpr const char* kRootName = "HKEY_CURRENT_CONFIG\\";
constexpr const wchar_t* kSettingsSubkey = L"QSB_Library";
constexpr const wchar_t* kPortTableSubkey = L"QSB_Library\\Ports";

// Copies every value of one key under HKEY_CURRENT_CONFIG; a missing key copies nothing.
void CopyKey(SettingsStore* store, const wchar_t* subkey, const std::string& keyName) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_CONFIG, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = static_cast<DWORD>(std::size(name));
    DWORD type = 0;
    DWORD size = 0;
    LONG r = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    std::vector<BYTE> data(size);
    nameLength = static_cast<DWORD>(std::size(name));
    r = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
    if (r != ERROR_SUCCESS) continue;
    data.resize(size);
    SettingsStore::Value value;
    value.type = type;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      // The store keeps strings in UTF-8 without their terminator.
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      const std::string utf8 = WideToUtf8(text);
      value.type = kRegSz;
      value.data.assign(utf8.begin(), utf8.end());
    } else {
      value.data.assign(data.begin(), data.end());
    }
    store->SetValue(keyName, WideToUtf8(name), std::move(value));
  }
  RegCloseKey(key);
}

}  // namespace

std::string SettingsStore::DefaultPath() {
  return EnvironmentValue("VELMORA_SETTINGS");
}

bool SettingsStore::LoadSystem(std::string* error) {
  const std::string path = DefaultPath();
  if (!path.empty()) return LoadFile(path, error);
  CopyKey(this, kSettingsSubkey, std::string(kRootName) + "QSB_Library");
  CopyKey(this, kPortTableSubkey, kPortTableKey);
  return true;
}

}  // namespace velmora
