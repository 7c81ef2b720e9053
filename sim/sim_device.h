// The simulated handset as a serial device in the same process. Under a VirtualClock every
// byte costs its time on the line: a write advances the clock by the bytes' wire time, a read
// advances it to the arrival of the last byte asked for or to the end of its time-out. Under
// the RealClock the same calls really wait, which is what the demo runs on.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_handset.h"

namespace velmora::sim {

class SimDevice final : public SerialDevice {
 public:
  // Use OpenSimDevice: it takes the handset's port first.
  SimDevice(SimHandset& handset, Clock& clock);
  ~SimDevice() override;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  bool SetConfig(const SerialConfig& config) override;
  bool GetConfig(SerialConfig* config) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  int Read(uint8_t* buffer, size_t n) override;
  int Write(const uint8_t* data, size_t n) override;
  bool SetDtr(bool high) override;
  bool SetRts(bool high) override;
  bool Purge() override;
  bool ClearErrors() override;

  // Bytes from the handset this side could not make out (wrong baud rate or parity).
  uint64_t noiseBytes() const { return noiseBytes_; }

 private:
  LineState Line() const;
  // Takes what the handset has put on the line up to time t into the receive buffer,
  // judged with the framing in force now.
  void Latch(int64_t t);
  bool TakeOne(int64_t deadline, int64_t* lastUs);

  SimHandset& handset_;
  Clock& clock_;
  SerialConfig config_;
  SerialTimeouts timeouts_;
  bool dtr_ = false;
  bool rts_ = false;
  std::deque<uint8_t> rx_;
  uint64_t noiseBytes_ = 0;
};

// Opens the in-process handset's port: null when it is already open or held by another
// program (the port_busy fault). The handset outlives the device; closing the device
// releases the port and drops DTR and RTS. One clock per handset.
std::unique_ptr<SerialDevice> OpenSimDevice(SimHandset& handset, Clock& clock);

}  // namespace velmora::sim
