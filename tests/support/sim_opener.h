// Opens the in-process simulated handset for "COM1", as the port table does for "sim:", and
// nothing for any other port; counts the attempts.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"

namespace velmora::testing {

class SimOpener : public DeviceOpener {
 public:
  SimOpener(sim::SimHandset& handset, Clock& clock) : handset_(handset), clock_(clock) {}
  std::unique_ptr<SerialDevice> Open(const std::string& name) override {
    ++attempts;
    return name == "COM1" ? sim::OpenSimDevice(handset_, clock_) : nullptr;
  }
  int attempts = 0;

 private:
  sim::SimHandset& handset_;
  Clock& clock_;
};

}  // namespace velmora::testing
