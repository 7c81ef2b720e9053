#include <functional>
#include <string>
#include <utility>

#include "platform/usb_latency.h"

namespace velmora {
namespace {

std::function<void(const std::string&)>& Sink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

}  // namespace

void SetSerialNoteSink(std::function<void(const std::string&)> sink) { Sink() = std::move(sink); }

void SerialNote(const std::string& line) {
  if (Sink()) Sink()(line);
}

}  // namespace velmora
