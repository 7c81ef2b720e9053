// Time seam: every pause and every time-out of the program goes through a Clock,
// so that tests can run minutes of protocol time in microseconds.
#pragma once

#include <cstdint>

namespace velmora {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in microseconds since an arbitrary start.
  virtual int64_t NowUs() = 0;
  // Blocks (or, for a virtual clock, advances) for the given time; 0 or less returns at once.
  virtual void SleepUs(int64_t us) = 0;

  void SleepMs(uint32_t ms) { SleepUs(static_cast<int64_t>(ms) * 1000); }
  int64_t NowMs() { return NowUs() / 1000; }
};

// A point on a clock that a wait must not pass: set once from "so long from now", then asked
// how much time is left (zero or less once it has passed).
class Deadline {
 public:
  Deadline(Clock& clock, int64_t fromNowUs) : clock_(&clock), atUs_(clock.NowUs() + fromNowUs) {}
  int64_t atUs() const { return atUs_; }
  int64_t LeftUs() const { return atUs_ - clock_->NowUs(); }
  bool Passed() const { return LeftUs() <= 0; }

 private:
  Clock* clock_;
  int64_t atUs_;
};

// The wall clock: steady_clock and real sleeps.
class RealClock final : public Clock {
 public:
  int64_t NowUs() override;
  void SleepUs(int64_t us) override;
};

// A clock that only moves when told to. SleepUs advances it at once, so a test of
// 120 open attempts 500 ms apart takes no real time and can assert the 60 s it would take.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(int64_t startUs = 0) : now_(startUs) {}
  int64_t NowUs() override { return now_; }
  void SleepUs(int64_t us) override {
    if (us > 0) now_ += us;
  }
  // Moves the clock forward to t; never backwards.
  void AdvanceTo(int64_t t) {
    if (t > now_) now_ = t;
  }

 private:
  int64_t now_;
};

}  // namespace velmora
