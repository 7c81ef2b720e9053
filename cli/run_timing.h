// Whole-run timing for `velmora-cli --timing FILE`: when the connect phase and the transfer
// phase began and ended, and what each phase put on the line, so that the whole-run benchmark
// can set the time a run took against the least time the line and the protocol allow.
//
// Three decorators collect it without touching the layers they wrap:
//   - a clock for the link library and the handset session, which adds up their pauses
//     (every pause they make is one the protocol prescribes);
//   - a device opener whose devices count the bytes both ways with their line time at the
//     framing in force, the reads whose time-out ran out, and the turnarounds (the first answer
//     bytes after a write);
//   - update operations that stamp the phase boundaries.
// Nothing here changes what goes on the line or when.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "update/update_operations.h"

namespace velmora {

// What one stretch of the run put on the line and waited for.
struct LineCounters {
  uint64_t bytesOut = 0;
  uint64_t bytesIn = 0;
  // Time those bytes take on the line at the framing they were sent or received with (start
  // bit, data bits, parity bit, stop bits over the baud rate), not rounded to whole microseconds.
  double wireUs = 0;
  uint64_t writes = 0;
  // Answers: a read that brings the first bytes after a write. Each one is a handset think time.
  uint64_t turnarounds = 0;
  // Pauses of the link library and the handset session.
  int64_t pauseUs = 0;
  // Reads that came back short because their time-out ran out, and those time-outs.
  uint64_t expiredReads = 0;
  int64_t expiredTimeoutUs = 0;
  // Block-store requests that make the handset erase its Eelite area (DeleteAllBlocks).
  uint64_t eraseRequests = 0;
};

class RunTiming {
 public:
  // base: the real clock that the run waits on.
  explicit RunTiming(Clock& base);
  ~RunTiming();
  RunTiming(const RunTiming&) = delete;
  RunTiming& operator=(const RunTiming&) = delete;

  // The clock to hand the link library (and through it the handset session).
  Clock& LinkClock();
  // Wraps the opener that the link library opens its ports with.
  std::unique_ptr<DeviceOpener> WrapOpener(DeviceOpener& inner);
  // Wraps the update run's operations; the phase stamps come from here.
  std::unique_ptr<UpdateOperations> WrapOperations(UpdateOperations& inner);

  // key=value lines: phase stamps in microseconds of the run's clock, and per phase the
  // counters above. False when the file cannot be written.
  bool WriteReport(const std::string& path, std::string* why) const;
  std::string Report() const;

  // Used by the decorators.
  LineCounters& counters() { return now_; }
  int64_t NowUs() { return base_.NowUs(); }
  void NoteAnswer(int64_t atUs) { lastAnswerUs_ = atUs; }
  void MarkConnectStart();
  void MarkConnected(bool ok);
  void MarkImei(bool ok);
  void MarkClosed();

 private:
  Clock& base_;
  std::unique_ptr<Clock> linkClock_;
  LineCounters now_;
  LineCounters atConnectEnd_;
  int64_t connectStartUs_ = -1;
  int64_t connectedUs_ = -1;
  int64_t connectEndUs_ = -1;  // the IMEI is in: the "IMEI: " line follows
  int64_t transferEndUs_ = -1;  // the last answer of the run (the switch-off's, normally)
  int64_t closedUs_ = -1;
  int64_t lastAnswerUs_ = -1;
  bool connected_ = false;
  bool imeiRead_ = false;
};

}  // namespace velmora
