// The station page's request heads and serve addresses on any bytes, whole and in the pieces a
// socket may hand out. A head is complete only once the empty line has come, and what it gives
// must be a method of capital letters and a path that starts with "/".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "station/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string received;
  for (size_t at = 0; at <= text.size(); at += 7) {
    received = text.substr(0, at);
    velmora::HttpRequest request;
    const velmora::RequestHead head = velmora::ParseRequestHead(received, &request);
    if (head == velmora::RequestHead::kComplete) {
      if (request.method.empty() || request.path.empty() || request.path[0] != '/') __builtin_trap();
      if (received.find('\n') == std::string::npos) __builtin_trap();
    }
    if (head == velmora::RequestHead::kIncomplete && received.size() > velmora::kMaxRequestHead) {
      __builtin_trap();
    }
  }
  std::string host, why;
  int port = -1;
  if (velmora::ParseServeAddress(text, &host, &port, &why) && (host.empty() || port < 0 || port > 65535)) {
    __builtin_trap();
  }
  return 0;
}
