// Windows: the Ports class through the SetupAPI (each device's instance ID, hardware IDs,
// friendly name, maker, service and PortName value; its parents through the configuration
// manager) and the SERIALCOMM device map from the registry.
#include <windows.h>
// After windows.h: the GUIDs of the device classes are defined here, not only declared.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "platform/port_devices.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

// Far more than any real device tree is deep; a loop in a broken tree ends here.
constexpr int kDeepestParent = 32;

// A registry property of the device as bytes ("" when it has none).
std::wstring PropertyBytes(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, nullptr, 0, &size);
  if (size == 0) return {};
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr,
                                         reinterpret_cast<BYTE*>(value.data()),
                                         static_cast<DWORD>(value.size() * sizeof(wchar_t)), nullptr))
    return {};
  return value;
}

// A REG_SZ property.
std::string TextProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  const std::wstring bytes = PropertyBytes(set, device, property);
  return WideToUtf8(bytes.substr(0, bytes.find(L'\0')));
}

// A REG_MULTI_SZ property: the strings up to the empty one.
std::vector<std::string> ListProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  const std::wstring bytes = PropertyBytes(set, device, property);
  std::vector<std::string> list;
  for (size_t at = 0; at < bytes.size() && bytes[at] != L'\0';) {
    const size_t end = bytes.find(L'\0', at);
    list.push_back(WideToUtf8(bytes.substr(at, end - at)));
    if (end == std::wstring::npos) break;
    at = end + 1;
  }
  return list;
}

std::string InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return WideToUtf8(id);
}

std::vector<std::string> ParentIds(DEVINST node) {
  std::vector<std::string> parents;
  DEVINST parent = 0;
  for (int depth = 0; depth < kDeepestParent && CM_Get_Parent(&parent, node, 0) == CR_SUCCESS; ++depth) {
    const std::string id = InstanceId(parent);
    if (id.empty()) break;
    parents.push_back(id);
    node = parent;
  }
  return parents;
}

// A REG_SZ value of an open key, "" when it is missing or of another type.
std::string TextValue(HKEY key, const wchar_t* name) {
  wchar_t value[256] = {};
  DWORD type = 0;
  DWORD size = sizeof value - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  return WideToUtf8(value);
}

// The PortName value in the device's hardware key.
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
  const HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::string name = TextValue(key, L"PortName");
  RegCloseKey(key);
  return name;
}

PortDevice DeviceOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
  PortDevice d;
  d.portName = PortNameOf(set, device);
  d.instanceId = InstanceId(device->DevInst);
  d.parentIds = ParentIds(device->DevInst);
  d.hardwareIds = ListProperty(set, device, SPDRP_HARDWAREID);
  d.friendlyName = TextProperty(set, device, SPDRP_FRIENDLYNAME);
  d.manufacturer = TextProperty(set, device, SPDRP_MFG);
  d.service = TextProperty(set, device, SPDRP_SERVICE);
  return d;
}

class SetupApiDeviceManager final : public DeviceManager {
 public:
  std::vector<PortDevice> PortDevices() override {
    std::vector<PortDevice> devices;
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return devices;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) devices.push_back(DeviceOf(set, &device));
    SetupDiDestroyDeviceInfoList(set);
    return devices;
  }

  std::vector<DeviceMapEntry> SerialDeviceMap() override {
    std::vector<DeviceMapEntry> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
      return entries;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256] = {};
      wchar_t value[256] = {};
      DWORD nameLength = 255;
      DWORD size = sizeof value - sizeof(wchar_t);
      DWORD type = 0;
      const LONG status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(value), &size);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS || type != REG_SZ) continue;
      entries.push_back({WideToUtf8(name), WideToUtf8(value)});
    }
    RegCloseKey(key);
    return entries;
  }
};

}  // namespace

std::unique_ptr<DeviceManager> SystemDeviceManager() { return std::make_unique<SetupApiDeviceManager>(); }

}  // namespace velmora
