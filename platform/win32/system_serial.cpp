// The communications API does most of what the seam asks natively: the configuration record
// is the DCB, the five time-outs are COMMTIMEOUTS.
#include "platform/win32/system_serial.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/system_serial.h"
#include "platform/win32/text.h"

namespace velmora {

namespace {

constexpr uint32_t kReadIntervalNoWait = 0xFFFFFFFFu;

HANDLE H(void* h) { return static_cast<HANDLE>(h); }

// "COM3" and "com3" mean \\.\COM3: the plain name reaches only COM1..COM9, the device path
// every port.
std::wstring DevicePath(const std::string& path) {
  if (path.find('\\') != std::string::npos || path.find('/') != std::string::npos) return Utf8ToWide(path);
  return L"\\\\.\\" + Utf8ToWide(path);
}

}  // namespace

std::unique_ptr<Win32SerialDevice> Win32SerialDevice::Open(const std::string& path, Clock& clock,
                                                           std::string* error, OpenFailure* kind) {
  auto fail = [&](const std::string& why, OpenFailure how) -> std::unique_ptr<Win32SerialDevice> {
    if (error) *error = path + ": " + why;
    if (kind) *kind = how;
    return nullptr;
  };
  // No sharing: a second program (or a second run of this one) gets ERROR_ACCESS_DENIED.
  const HANDLE h = CreateFileW(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const bool held = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
    return fail(held ? "held by another program (" + SystemErrorText(code) + ")" : FileErrorText(code),
                held ? OpenFailure::Busy : OpenFailure::Permanent);
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    CloseHandle(h);
    return fail("not a serial device", OpenFailure::Permanent);
  }
  std::unique_ptr<Win32SerialDevice> device(new Win32SerialDevice(h, clock));
  // Until the first time-outs arrive, reads return at once with what is there.
  device->SetTimeouts(SerialTimeouts{});
  return device;
}

Win32SerialDevice::~Win32SerialDevice() {
  if (handle_ != nullptr) CloseHandle(H(handle_));
}

bool Win32SerialDevice::SetConfig(const SerialConfig& c) {
  if (c.baudRate == 0 || c.byteSize < 5 || c.byteSize > 8 || c.parity > kParitySpace ||
      c.stopBits > kTwoStopBits) {
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(H(handle_), &dcb)) return false;
  dcb.BaudRate = c.baudRate;
  dcb.ByteSize = c.byteSize;
  dcb.Parity = c.parity;
  dcb.StopBits = c.stopBits;
  dcb.fBinary = c.binary;
  dcb.fParity = c.parityCheck;
  dcb.fOutxCtsFlow = c.outxCtsFlow;
  dcb.fOutxDsrFlow = c.outxDsrFlow;
  dcb.fDtrControl = c.dtrControl & 3u;
  dcb.fDsrSensitivity = c.dsrSensitivity;
  dcb.fTXContinueOnXoff = c.txContinueOnXoff;
  dcb.fOutX = c.outX;
  dcb.fInX = c.inX;
  dcb.fErrorChar = c.errorCharReplace;
  dcb.fNull = c.nullStrip;
  dcb.fRtsControl = c.rtsControl & 3u;
  dcb.fAbortOnError = c.abortOnError;
  dcb.XonLim = c.xonLimit;
  dcb.XoffLim = c.xoffLimit;
  dcb.XonChar = c.xonChar;
  dcb.XoffChar = c.xoffChar;
  dcb.ErrorChar = c.errorChar;
  dcb.EofChar = c.eofChar;
  dcb.EvtChar = c.evtChar;
  return SetCommState(H(handle_), &dcb) != 0;
}

bool Win32SerialDevice::GetConfig(SerialConfig* c) {
  if (c == nullptr) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(H(handle_), &dcb)) return false;
  c->baudRate = dcb.BaudRate;
  c->byteSize = dcb.ByteSize;
  c->parity = dcb.Parity;
  c->stopBits = dcb.StopBits;
  c->binary = dcb.fBinary;
  c->parityCheck = dcb.fParity;
  c->outxCtsFlow = dcb.fOutxCtsFlow;
  c->outxDsrFlow = dcb.fOutxDsrFlow;
  c->dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
  c->dsrSensitivity = dcb.fDsrSensitivity;
  c->txContinueOnXoff = dcb.fTXContinueOnXoff;
  c->outX = dcb.fOutX;
  c->inX = dcb.fInX;
  c->errorCharReplace = dcb.fErrorChar;
  c->nullStrip = dcb.fNull;
  c->rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
  c->abortOnError = dcb.fAbortOnError;
  c->xonLimit = dcb.XonLim;
  c->xoffLimit = dcb.XoffLim;
  c->xonChar = dcb.XonChar;
  c->xoffChar = dcb.XoffChar;
  c->errorChar = dcb.ErrorChar;
  c->eofChar = dcb.EofChar;
  c->evtChar = dcb.EvtChar;
  return true;
}

bool Win32SerialDevice::SetTimeouts(const SerialTimeouts& t) {
  COMMTIMEOUTS ct{};
  if (t.readMultiplier == 0 && t.readConstant == 0) {
    // No total time-out: the seam's "return what is there"; the system's all-zero record would
    // wait for every byte asked for instead.
    ct.ReadIntervalTimeout = MAXDWORD;
  } else {
    ct.ReadIntervalTimeout = t.readInterval == kReadIntervalNoWait ? 0 : t.readInterval;
    ct.ReadTotalTimeoutMultiplier = t.readMultiplier;
    ct.ReadTotalTimeoutConstant = t.readConstant;
  }
  ct.WriteTotalTimeoutMultiplier = t.writeMultiplier;
  ct.WriteTotalTimeoutConstant = t.writeConstant;
  if (!SetCommTimeouts(H(handle_), &ct)) return false;
  timeouts_ = t;
  return true;
}

int Win32SerialDevice::Read(uint8_t* buffer, size_t n) {
  if (!buffer && n) return -1;
  n = std::min<size_t>(n, INT_MAX);
  if (n == 0) return 0;
  DWORD got = 0;
  if (!ReadFile(H(handle_), buffer, static_cast<DWORD>(n), &got, nullptr)) return got ? static_cast<int>(got) : -1;
  return static_cast<int>(got);
}

int Win32SerialDevice::Write(const uint8_t* data, size_t n) {
  if (!data && n) return -1;
  n = std::min<size_t>(n, INT_MAX);
  if (n == 0) return 0;
  DWORD sent = 0;
  if (!WriteFile(H(handle_), data, static_cast<DWORD>(n), &sent, nullptr)) return -1;
  // WriteFile returns once the driver has the bytes; the reply windows count from the last
  // byte on the line.
  if (!FlushFileBuffers(H(handle_))) return -1;
  return static_cast<int>(sent);
}

bool Win32SerialDevice::Escape(unsigned long function) {
  return EscapeCommFunction(H(handle_), function) != 0;
}

bool Win32SerialDevice::SetDtr(bool high) { return Escape(high ? SETDTR : CLRDTR); }
bool Win32SerialDevice::SetRts(bool high) { return Escape(high ? SETRTS : CLRRTS); }

bool Win32SerialDevice::Purge() {
  return PurgeComm(H(handle_), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool Win32SerialDevice::ClearErrors() {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(H(handle_), &errors, &status) != 0;
}

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(const std::string& path, Clock& clock,
                                                     std::string* error, OpenFailure* kind) {
  return Win32SerialDevice::Open(path, clock, error, kind);
}

std::string SystemPortDevice(const std::string& portName) {
  // "COM:" is the tenth port.
  if (portName == "COM:") return "COM10";
  return portName;
}

}  // namespace velmora
