#include "platform/port_devices.h"

namespace velmora {

// Linux keeps its serial devices in the device tree under /sys, which is read as files.
std::unique_ptr<DeviceManager> SystemDeviceManager() { return nullptr; }

}  // namespace velmora
