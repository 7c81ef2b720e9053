#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/usb_latency.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// The adapter's timer in ms that the program asks for.
constexpr const char* kLowTimer = "1";

bool ReadSmallFile(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[32];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return false;
  text->assign(buffer, static_cast<size_t>(n));
  while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
  return true;
}

// Writes a sysfs attribute; false with errno set.
bool WriteSmallFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  // As `echo VALUE >` writes it; the attribute takes the line whole.
  const std::string line = text + "\n";
  const ssize_t n = ::write(fd, line.data(), line.size());
  const int error = errno;
  ::close(fd);
  errno = error;
  return n == static_cast<ssize_t>(line.size());
}

}  // namespace

LatencyTuning LatencyTuning::Apply(int fd, const std::string& devicePath,
                                   const std::string& sysfsRoot, std::vector<std::string>* notes) {
  LatencyTuning tuning;
#if defined(__linux__)
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) == 0) {
      tuning.flagSet_ = true;
    } else {
      notes->push_back(devicePath + ": low latency not allowed (" + std::strerror(errno) +
                       "); answers may come late");
    }
  }
#endif
  // The tty's name in the device tree: the device path may be a link (/dev/serial/by-id/...).
  std::error_code ec;
  const fs::path real = fs::canonical(devicePath, ec);
  const std::string name = (ec ? fs::path(devicePath) : real).filename().string();
  const fs::path device = fs::path(sysfsRoot) / "class" / "tty" / name / "device";
  const fs::path driver = fs::read_symlink(device / "driver", ec);
  if (ec || driver.filename() != "ftdi_sio") return tuning;
  const std::string timer = (device / "latency_timer").string();
  std::string before;
  if (!ReadSmallFile(timer, &before)) {
    notes->push_back(devicePath + ": the adapter's latency_timer cannot be read (" +
                     std::strerror(errno) + ")");
    return tuning;
  }
  if (before == kLowTimer) return tuning;
  if (!WriteSmallFile(timer, kLowTimer)) {
    notes->push_back(devicePath + ": the adapter's latency_timer stays at " + before +
                     " ms: setting it to " + kLowTimer + " ms is not allowed (" +
                     std::strerror(errno) + "); every answer may wait that long");
    return tuning;
  }
  tuning.timerPath_ = timer;
  tuning.timerBefore_ = before;
  notes->push_back(devicePath + ": the adapter's latency_timer set from " + before + " to " +
                   kLowTimer + " ms while the port is open");
  return tuning;
}

void LatencyTuning::Restore(int fd) {
#if defined(__linux__)
  if (flagSet_) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags &= ~ASYNC_LOW_LATENCY;
      ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    flagSet_ = false;
  }
#else
  (void)fd;
#endif
  if (!timerPath_.empty()) {
    WriteSmallFile(timerPath_, timerBefore_);
    timerPath_.clear();
  }
}

}  // namespace velmora
