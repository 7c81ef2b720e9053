// termios serial port. The descriptor stays non-blocking; every wait is a ppoll() with the time
// left, so a read returns the moment its bytes are in and nothing waits without a bound.
#include "platform/posix/system_serial.h"
#include "platform/system_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

// The total read time-out value that means "return what is there" together with zero
// multiplier and constant, as on the platform the program came from.
// A write with no write time-out configured still gets a bound: twice its wire time plus this.
constexpr int64_t kWriteSlackUs = 1'000'000;
// The baud rate the kernel reports may be rounded to what the UART divisor can make; beyond
// this difference the rate was not taken.
constexpr double kBaudTolerance = 0.03;

struct BaudCode {
  uint32_t rate;
  speed_t code;
};
constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool StandardCode(uint32_t rate, speed_t* code) {
  for (const BaudCode& b : kBaudCodes) {
    if (b.rate == rate) {
      *code = b.code;
      return true;
    }
  }
  return false;
}

uint32_t RateOfCode(speed_t code) {
  for (const BaudCode& b : kBaudCodes) {
    if (b.code == code) return b.rate;
  }
  return 0;
}

// Arbitrary rates go through the kernel's second termios record, whose speed fields are plain
// numbers. Declared here because the kernel header clashes with <termios.h>; the layout is the
// generic one, used by the architectures listed.
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
#define VELMORA_HAVE_TERMIOS2 1
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kCbaud = 0010017;
#endif

bool BaudClose(uint32_t asked, uint32_t got) {
  if (asked == 0) return false;
  const double diff = got > asked ? got - asked : asked - got;
  return diff <= kBaudTolerance * asked;
}

// Waits for the given events for at most us microseconds. The revents, 0 on time-out or on a
// signal (the caller checks its deadline and comes back), -1 on error.
int WaitFd(int fd, short events, int64_t us) {
  pollfd p{fd, events, 0};
  if (us < 0) us = 0;
  const timespec ts{static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
  const int r = ppoll(&p, 1, &ts, nullptr);
  if (r > 0) return p.revents;
  if (r == 0 || errno == EINTR) return 0;
  return -1;
}

// A port that another program holds (EBUSY: opened with TIOCEXCL; a lock) or that is in the
// middle of something may open on the next try; a missing device, a refused permission or a
// path that is no device never will.
OpenFailure OpenFailureOf(int err) {
  switch (err) {
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case EIO:
    case ETXTBSY:
      return OpenFailure::Busy;
    default:
      return OpenFailure::Permanent;
  }
}

}  // namespace

std::unique_ptr<PosixSerialDevice> PosixSerialDevice::Open(const std::string& path, Clock& clock,
                                                           std::string* error, OpenFailure* kind) {
  auto fail = [&](const std::string& why, OpenFailure how) -> std::unique_ptr<PosixSerialDevice> {
    if (error) *error = path + ": " + why;
    if (kind) *kind = how;
    return nullptr;
  };
  auto failErrno = [&](int err) { return fail(std::strerror(err), OpenFailureOf(err)); };
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failErrno(errno);
  if (!isatty(fd)) {
    ::close(fd);
    return fail("not a serial device", OpenFailure::Permanent);
  }
  // Another program (or another run of this one) holding the port must make the open fail,
  // as an exclusive open does on the platform the program came from.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return fail("held by another program", OpenFailure::Busy);
    return failErrno(err);
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    const int err = errno;
    ::close(fd);
    return failErrno(err);
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    const int err = errno;
    ::close(fd);
    return failErrno(err);
  }
  // Raw 8-bit mode until the first configuration record arrives; reads never block in the
  // kernel because all waiting is done with poll.
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD | HUPCL;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    const int err = errno;
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    return failErrno(err);
  }
  std::unique_ptr<PosixSerialDevice> device(new PosixSerialDevice(fd, clock));
  // USB adapters answer late unless told otherwise; what cannot be set is said in the log.
  std::vector<std::string> notes;
  device->latency_ = LatencyTuning::Apply(fd, path, kDefaultSysfsRoot, &notes);
  for (const std::string& note : notes) SerialNote(note);
  struct stat st {};
  // Unix98 pseudo-terminal slaves have the majors 136 to 143.
  device->pseudoTerminal_ = fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  return device;
}

PosixSerialDevice::~PosixSerialDevice() {
  if (fd_ >= 0) {
    latency_.Restore(fd_);
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the lock; HUPCL drops the modem lines
  }
}

namespace {

// The control flags of a character format: data bits, stop bits, parity. False for a format
// the UART cannot make.
bool CharacterFormatFlags(const SerialConfig& c, tcflag_t* flags) {
  tcflag_t f = 0;
  switch (c.byteSize) {
    case 5: f = CS5; break;
    case 6: f = CS6; break;
    case 7: f = CS7; break;
    case 8: f = CS8; break;
    default: return false;
  }
  // One and a half stop bits exist only with five data bits, where the UART's two-stop-bit
  // setting makes them; two stop bits with five data bits do not exist.
  switch (c.stopBits) {
    case kOneStopBit: break;
    case kOne5StopBits: if (c.byteSize != 5) return false; f |= CSTOPB; break;
    case kTwoStopBits: if (c.byteSize == 5) return false; f |= CSTOPB; break;
    default: return false;
  }
  switch (c.parity) {
    case kParityNone: break;
    case kParityOdd: f |= PARENB | PARODD; break;
    case kParityEven: f |= PARENB; break;
    case kParityMark: f |= PARENB | PARODD | CMSPAR; break;
    case kParitySpace: f |= PARENB | CMSPAR; break;
    default: return false;
  }
  *flags = f;
  return true;
}

}  // namespace

bool PosixSerialDevice::SetConfig(const SerialConfig& c) {
  if (fd_ < 0 || c.baudRate == 0) return false;
  tcflag_t format = 0;
  if (!CharacterFormatFlags(c, &format)) return false;

  termios old{};
  if (tcgetattr(fd_, &old) != 0) return false;
  termios t = old;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= format | CLOCAL | CREAD | HUPCL;
  if (c.outxCtsFlow || c.rtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
  // A byte with a parity error is handed on as it came unless replacement is asked for (the
  // kernel's replacement is a zero byte): the line's data stream stays the same as before.
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
  if (c.parityCheck && c.errorCharReplace) t.c_iflag |= INPCK;
  if (c.outX) t.c_iflag |= IXON;
  if (c.inX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(c.xonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(c.xoffChar);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  speed_t code = B0;
  const bool standard = StandardCode(c.baudRate, &code);
#ifndef VELMORA_HAVE_TERMIOS2
  if (!standard) return false;
#endif
  if (standard) {
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }
  bool ok = tcsetattr(fd_, TCSANOW, &t) == 0;
#ifdef VELMORA_HAVE_TERMIOS2
  if (ok && !standard) {
    KernelTermios2 t2{};
    ok = ioctl(fd_, kTcGets2, &t2) == 0;
    if (ok) {
      t2.c_cflag &= ~kCbaud;
      t2.c_cflag |= kBother;
      t2.c_cflag &= ~(kCbaud << 16);  // CIBAUD: input at the output rate
      t2.c_ispeed = c.baudRate;
      t2.c_ospeed = c.baudRate;
      ok = ioctl(fd_, kTcSets2, &t2) == 0;
    }
  }
#endif
  const SerialConfig previous = config_;
  const bool wasConfigured = configured_;
  if (ok) {
    config_ = c;
    configured_ = true;
    SerialConfig readBack;
    ok = GetConfig(&readBack) && BaudClose(c.baudRate, readBack.baudRate) &&
         readBack.byteSize == c.byteSize && readBack.parity == c.parity &&
         readBack.stopBits == c.stopBits;
  }
  if (!ok) {
    // Refused: the port keeps the record it had.
    tcsetattr(fd_, TCSANOW, &old);
    config_ = previous;
    configured_ = wasConfigured;
    return false;
  }
  // The record's line modes decide the lines' level, as applying a whole record always has.
  if (c.dtrControl != kDtrControlHandshake && !SetDtr(c.dtrControl == kDtrControlEnable)) {
    tcsetattr(fd_, TCSANOW, &old);
    config_ = previous;
    configured_ = wasConfigured;
    return false;
  }
  if (c.rtsControl != kRtsControlHandshake && !SetRts(c.rtsControl != kRtsControlDisable)) {
    tcsetattr(fd_, TCSANOW, &old);
    config_ = previous;
    configured_ = wasConfigured;
    return false;
  }
  return true;
}

bool PosixSerialDevice::GetConfig(SerialConfig* out) {
  if (fd_ < 0 || !out) return false;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return false;
  SerialConfig c = config_;
  if (!configured_) c.binary = true;
  c.baudRate = RateOfCode(cfgetospeed(&t));
#ifdef VELMORA_HAVE_TERMIOS2
  if (c.baudRate == 0) {
    KernelTermios2 t2{};
    if (ioctl(fd_, kTcGets2, &t2) == 0) c.baudRate = t2.c_ospeed;
  }
#endif
  if (pseudoTerminal_) {
    // A pseudo-terminal carries bytes, not frames: the kernel keeps no byte size or parity for
    // it, so the record's frame format is the one in force.
    *out = c;
    return true;
  }
  switch (t.c_cflag & CSIZE) {
    case CS5: c.byteSize = 5; break;
    case CS6: c.byteSize = 6; break;
    case CS7: c.byteSize = 7; break;
    default: c.byteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    c.parity = kParityNone;
  } else if (t.c_cflag & CMSPAR) {
    c.parity = (t.c_cflag & PARODD) ? kParityMark : kParitySpace;
  } else {
    c.parity = (t.c_cflag & PARODD) ? kParityOdd : kParityEven;
  }
  if (!(t.c_cflag & CSTOPB)) {
    c.stopBits = kOneStopBit;
  } else {
    c.stopBits = c.byteSize == 5 ? kOne5StopBits : kTwoStopBits;
  }
  c.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  c.outX = (t.c_iflag & IXON) != 0;
  c.inX = (t.c_iflag & IXOFF) != 0;
  c.xonChar = static_cast<char>(t.c_cc[VSTART]);
  c.xoffChar = static_cast<char>(t.c_cc[VSTOP]);
  *out = c;
  return true;
}

bool PosixSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
  if (fd_ < 0) return false;
  timeouts_ = timeouts;
  return true;
}

int PosixSerialDevice::Read(uint8_t* buffer, size_t n) {
  if (fd_ < 0 || (!buffer && n)) return -1;
  n = std::min<size_t>(n, INT_MAX);
  if (n == 0) return 0;
  const bool noWait = ReadWait::NoWait(timeouts_);
  ReadWait wait(clock_, timeouts_, n);
  size_t got = 0;
  for (;;) {
    const ssize_t r = ::read(fd_, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      if (got == n) return static_cast<int>(got);
      wait.BytesCame();
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) return got ? static_cast<int>(got) : -1;
    // Nothing there now (r == 0 or EAGAIN).
    if (noWait) return static_cast<int>(got);
    const int64_t waitUs = wait.LeftUs(got);
    if (waitUs <= 0) return static_cast<int>(got);
    const int ev = WaitFd(fd_, POLLIN, waitUs);
    if (ev < 0) return got ? static_cast<int>(got) : -1;
    // The read just found nothing, so a hang-up now means the device or its other end is gone
    // (a hung-up terminal reads as empty for ever and must not be waited on).
    if (ev & (POLLERR | POLLNVAL | POLLHUP)) return got ? static_cast<int>(got) : -1;
  }
}

int PosixSerialDevice::Write(const uint8_t* data, size_t n) {
  if (fd_ < 0 || (!data && n)) return -1;
  n = std::min<size_t>(n, INT_MAX);
  if (n == 0) return 0;
  const int64_t wireUs = configured_ ? ByteWireTimeUs(config_) * static_cast<int64_t>(n) : 0;
  int64_t totalUs = WriteTotalUs(timeouts_, n);
  // No write time-out means "until done"; done is bounded by the wire time as long as no flow
  // control holds the line, and a held line must not hang the program.
  if (totalUs == 0) totalUs = 2 * wireUs + kWriteSlackUs;
  const Deadline deadline(clock_, totalUs);
  size_t sent = 0;
  while (sent < n) {
    const ssize_t r = ::write(fd_, data + sent, n - sent);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) return -1;
    const int64_t waitUs = deadline.LeftUs();
    if (waitUs <= 0) break;
    const int ev = WaitFd(fd_, POLLOUT, waitUs);
    if (ev < 0 || ((ev & (POLLERR | POLLNVAL | POLLHUP)) && !(ev & POLLOUT))) return -1;
  }
  if (!Drain(deadline)) return -1;
  return static_cast<int>(sent);
}

bool PosixSerialDevice::Drain(const Deadline& deadline) {
  const bool flowControl = config_.outxCtsFlow || config_.outX ||
                           config_.rtsControl == kRtsControlHandshake;
  if (!flowControl) {
    // Without flow control the queue empties in its wire time, so tcdrain is bounded.
    while (tcdrain(fd_) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  // A peer holding the line could stop tcdrain for ever: watch the queue until the deadline.
  for (;;) {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return false;
    if (queued == 0) return true;
    const int64_t left = deadline.LeftUs();
    if (left <= 0) return true;  // what is still queued goes when the line is released
    const int64_t byteUs = configured_ ? ByteWireTimeUs(config_) : 1000;
    clock_.SleepUs(std::min<int64_t>(left, std::max<int64_t>(byteUs * queued, 100)));
  }
}

bool PosixSerialDevice::SetModemLine(int line, bool high) {
  if (fd_ < 0) return false;
  int bits = line;
  if (ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  // A terminal without modem lines (a pseudo-terminal, a three-wire link) has nothing to drive.
  return errno == ENOTTY || errno == EINVAL;
}

bool PosixSerialDevice::SetDtr(bool high) { return SetModemLine(TIOCM_DTR, high); }
bool PosixSerialDevice::SetRts(bool high) { return SetModemLine(TIOCM_RTS, high); }

bool PosixSerialDevice::Purge() { return fd_ >= 0 && tcflush(fd_, TCIOFLUSH) == 0; }

// The kernel keeps no sticky error state that stops the port, so there is nothing to clear.
bool PosixSerialDevice::ClearErrors() { return fd_ >= 0; }

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(const std::string& path, Clock& clock,
                                                     std::string* error, OpenFailure* kind) {
  return PosixSerialDevice::Open(path, clock, error, kind);
}

std::string SystemPortDevice(const std::string& portName) {
  // The serial ports of a PC are COM1 onwards; Linux numbers the same ports from ttyS0.
  if (portName == "COM:") return "/dev/ttyS9";
  return "/dev/ttyS" + std::to_string(portName[3] - '1');
}

}  // namespace velmora
