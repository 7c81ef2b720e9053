#include "cli/run_timing.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "platform/record_file.h"
#include "protocol/frame.h"

namespace velmora {
namespace {

using protocol::kCmdDeleteAllBlocks;
using protocol::IsServiceRequest;

// Line time of one character in microseconds, exact: start bit, data bits, parity, stop bits.
double CharacterUs(const SerialConfig& c) {
  if (c.baudRate == 0) return 0;
  const double stop = c.stopBits == kOneStopBit ? 1.0 : (c.stopBits == kOne5StopBits ? 1.5 : 2.0);
  const double bits = 1.0 + c.byteSize + (c.parity == kParityNone ? 0.0 : 1.0) + stop;
  return bits * 1e6 / c.baudRate;
}

class CountingClock final : public Clock {
 public:
  CountingClock(Clock& inner, RunTiming& timing) : inner_(inner), timing_(timing) {}
  int64_t NowUs() override { return inner_.NowUs(); }
  void SleepUs(int64_t us) override {
    if (us > 0) timing_.counters().pauseUs += us;
    inner_.SleepUs(us);
  }

 private:
  Clock& inner_;
  RunTiming& timing_;
};

class CountingDevice final : public SerialDevice {
 public:
  CountingDevice(std::unique_ptr<SerialDevice> inner, RunTiming& timing)
      : inner_(std::move(inner)), timing_(timing) {
    inner_->GetConfig(&config_);
  }

  bool SetConfig(const SerialConfig& config) override {
    const bool ok = inner_->SetConfig(config);
    if (ok) config_ = config;
    return ok;
  }
  bool GetConfig(SerialConfig* config) override { return inner_->GetConfig(config); }
  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    const bool ok = inner_->SetTimeouts(timeouts);
    if (ok) timeouts_ = timeouts;
    return ok;
  }

  int Read(uint8_t* buffer, size_t n) override {
    const int got = inner_->Read(buffer, n);
    LineCounters& c = timing_.counters();
    if (got > 0) {
      c.bytesIn += static_cast<uint64_t>(got);
      c.wireUs += CharacterUs(config_) * got;
      if (awaitingAnswer_) {
        ++c.turnarounds;
        awaitingAnswer_ = false;
      }
      timing_.NoteAnswer(timing_.NowUs());
    }
    const int64_t limitMs = int64_t{timeouts_.readMultiplier} * static_cast<int64_t>(n) + timeouts_.readConstant;
    if (got >= 0 && static_cast<size_t>(got) < n && limitMs > 0) {
      ++c.expiredReads;
      c.expiredTimeoutUs += limitMs * 1000;
    }
    return got;
  }

  int Write(const uint8_t* data, size_t n) override {
    const int put = inner_->Write(data, n);
    if (put > 0) {
      LineCounters& c = timing_.counters();
      c.bytesOut += static_cast<uint64_t>(put);
      c.wireUs += CharacterUs(config_) * put;
      ++c.writes;
      awaitingAnswer_ = true;
      // The link library writes one whole frame per write.
      if (IsServiceRequest(data, static_cast<size_t>(put), kCmdDeleteAllBlocks)) ++c.eraseRequests;
    }
    return put;
  }

  bool SetDtr(bool high) override { return inner_->SetDtr(high); }
  bool SetRts(bool high) override { return inner_->SetRts(high); }
  bool Purge() override { return inner_->Purge(); }
  bool ClearErrors() override { return inner_->ClearErrors(); }

 private:
  std::unique_ptr<SerialDevice> inner_;
  RunTiming& timing_;
  SerialConfig config_;
  SerialTimeouts timeouts_;
  bool awaitingAnswer_ = false;
};

class CountingOpener final : public DeviceOpener {
 public:
  CountingOpener(DeviceOpener& inner, RunTiming& timing) : inner_(inner), timing_(timing) {}
  std::unique_ptr<SerialDevice> Open(const std::string& portName) override {
    std::unique_ptr<SerialDevice> device = inner_.Open(portName);
    if (!device) return device;
    return std::make_unique<CountingDevice>(std::move(device), timing_);
  }

 private:
  DeviceOpener& inner_;
  RunTiming& timing_;
};

class TimedOperations final : public UpdateOperations {
 public:
  TimedOperations(UpdateOperations& inner, RunTiming& timing) : inner_(inner), timing_(timing) {}

  bool Connect() override {
    timing_.MarkConnectStart();
    const bool ok = inner_.Connect();
    timing_.MarkConnected(ok);
    return ok;
  }
  bool ReadImei(char* imei) override {
    const bool ok = inner_.ReadImei(imei);
    timing_.MarkImei(ok);
    return ok;
  }
  void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info) override {
    inner_.SelectBlocks(flags, blocks, info);
  }
  bool CheckProduct(const MapInfo& info) override { return inner_.CheckProduct(info); }
  uint16_t HardwareProduct() const override { return inner_.HardwareProduct(); }
  bool WriteMapBlocks(MapBlock* blocks, const MapInfo& info, const uint32_t* flags,
                      BlockFailure* failure) override {
    return inner_.WriteMapBlocks(blocks, info, flags, failure);
  }
  bool WriteMapVersion(const MapInfo& info) override { return inner_.WriteMapVersion(info); }
  bool ReadBlocks(const std::vector<BlockRef>& refs, HandsetBackup* backup) override {
    return inner_.ReadBlocks(refs, backup);
  }
  bool HighestBlock(uint16_t* highest) override { return inner_.HighestBlock(highest); }
  bool ReadProduct() override { return inner_.ReadProduct(); }
  bool DeleteBlocks(const std::vector<BlockRef>& refs) override { return inner_.DeleteBlocks(refs); }
  bool BeforeFirstChange(const MapBlock* blocks, const MapInfo& info) override {
    return inner_.BeforeFirstChange(blocks, info);
  }
  bool RestoreBlocks(const std::vector<MapBlock>& blocks) override {
    return inner_.RestoreBlocks(blocks);
  }
  void CloseSession() override {
    inner_.CloseSession();
    timing_.MarkClosed();
  }

 private:
  UpdateOperations& inner_;
  RunTiming& timing_;
};

void Put(std::ostringstream& out, const char* phase, const LineCounters& c) {
  out << phase << ".bytes_out=" << c.bytesOut << '\n'
      << phase << ".bytes_in=" << c.bytesIn << '\n'
      << phase << ".wire_us=" << c.wireUs << '\n'
      << phase << ".writes=" << c.writes << '\n'
      << phase << ".turnarounds=" << c.turnarounds << '\n'
      << phase << ".pause_us=" << c.pauseUs << '\n'
      << phase << ".expired_reads=" << c.expiredReads << '\n'
      << phase << ".expired_timeout_us=" << c.expiredTimeoutUs << '\n'
      << phase << ".erase_requests=" << c.eraseRequests << '\n';
}

LineCounters Minus(const LineCounters& a, const LineCounters& b) {
  LineCounters d;
  d.bytesOut = a.bytesOut - b.bytesOut;
  d.bytesIn = a.bytesIn - b.bytesIn;
  d.wireUs = a.wireUs - b.wireUs;
  d.writes = a.writes - b.writes;
  d.turnarounds = a.turnarounds - b.turnarounds;
  d.pauseUs = a.pauseUs - b.pauseUs;
  d.expiredReads = a.expiredReads - b.expiredReads;
  d.expiredTimeoutUs = a.expiredTimeoutUs - b.expiredTimeoutUs;
  d.eraseRequests = a.eraseRequests - b.eraseRequests;
  return d;
}

}  // namespace

RunTiming::RunTiming(Clock& base) : base_(base), linkClock_(std::make_unique<CountingClock>(base, *this)) {}
RunTiming::~RunTiming() = default;

Clock& RunTiming::LinkClock() { return *linkClock_; }

std::unique_ptr<DeviceOpener> RunTiming::WrapOpener(DeviceOpener& inner) {
  return std::make_unique<CountingOpener>(inner, *this);
}

std::unique_ptr<UpdateOperations> RunTiming::WrapOperations(UpdateOperations& inner) {
  return std::make_unique<TimedOperations>(inner, *this);
}

void RunTiming::MarkConnectStart() {
  connectStartUs_ = NowUs();
  // Only what the connect itself does counts towards it.
  now_ = LineCounters{};
}

void RunTiming::MarkConnected(bool ok) {
  connectedUs_ = NowUs();
  connected_ = ok;
}

void RunTiming::MarkImei(bool ok) {
  connectEndUs_ = NowUs();
  imeiRead_ = ok;
  atConnectEnd_ = now_;
}

void RunTiming::MarkClosed() {
  closedUs_ = NowUs();
  transferEndUs_ = lastAnswerUs_ > connectEndUs_ ? lastAnswerUs_ : closedUs_;
}

std::string RunTiming::Report() const {
  std::ostringstream out;
  out.precision(15);
  out << "connected=" << (connected_ ? 1 : 0) << '\n'
      << "imei_read=" << (imeiRead_ ? 1 : 0) << '\n'
      << "connect_start_us=" << connectStartUs_ << '\n'
      << "connected_us=" << connectedUs_ << '\n'
      << "connect_end_us=" << connectEndUs_ << '\n'
      << "transfer_end_us=" << transferEndUs_ << '\n'
      << "closed_us=" << closedUs_ << '\n';
  Put(out, "connect", atConnectEnd_);
  Put(out, "transfer", Minus(now_, atConnectEnd_));
  return out.str();
}

bool RunTiming::WriteReport(const std::string& path, std::string* why) const {
  // Replaced whole, and only when path is a regular file of its own (or missing).
  return ReplaceFileWhole(path, Report(), why);
}

}  // namespace velmora
