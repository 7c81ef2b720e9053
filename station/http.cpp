#include "station/http.h"

#include <charconv>

namespace velmora {
namespace {

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

}  // namespace

bool ParseServeAddress(const std::string& address, std::string* host, int* port, std::string* why) {
  const size_t colon = address.rfind(':');
  const bool hasHost = colon != std::string::npos;
  std::string hostText = hasHost ? address.substr(0, colon) : "127.0.0.1";
  const std::string portText = hasHost ? address.substr(colon + 1) : address;
  if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
    hostText = hostText.substr(1, hostText.size() - 2);
  }
  if (hostText.empty()) {
    *why = "no host before the colon (give [HOST:]PORT)";
    return false;
  }
  int value = -1;
  const char* end = portText.data() + portText.size();
  const auto [ptr, ec] = std::from_chars(portText.data(), end, value);
  if (portText.empty() || ec != std::errc() || ptr != end || value < 0 || value > 65535) {
    *why = "the port is not a number from 0 to 65535 (give [HOST:]PORT)";
    return false;
  }
  *host = hostText;
  *port = value;
  return true;
}

RequestHead ParseRequestHead(std::string_view received, HttpRequest* request) {
  size_t end = received.find("\r\n\r\n");
  if (end == std::string_view::npos) end = received.find("\n\n");
  if (end == std::string_view::npos || end > kMaxRequestHead) {
    return received.size() > kMaxRequestHead ? RequestHead::kBad : RequestHead::kIncomplete;
  }
  std::string_view line = received.substr(0, received.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t space1 = line.find(' ');
  const size_t space2 = line.find(' ', space1 == std::string_view::npos ? space1 : space1 + 1);
  if (space1 == std::string_view::npos || space2 == std::string_view::npos) return RequestHead::kBad;
  const std::string_view method = line.substr(0, space1);
  const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = line.substr(space2 + 1);
  if (!IsToken(method) || target.empty() || target.front() != '/' ||
      version.substr(0, 7) != "HTTP/1." || version.size() != 8) {
    return RequestHead::kBad;
  }
  request->method = std::string(method);
  request->path = std::string(target.substr(0, target.find('?')));
  return RequestHead::kComplete;
}

std::string HttpResponse(int status, std::string_view contentType, std::string_view body,
                         bool withBody, int retryAfterS) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  text += "Content-Type: ";
  text += contentType;
  text += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (status == 405) text += "Allow: GET, HEAD\r\n";
  if (retryAfterS > 0) text += "Retry-After: " + std::to_string(retryAfterS) + "\r\n";
  // The page is the station's state now: never from a cache.
  text += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  if (withBody) text += body;
  return text;
}

std::string EventStreamHead() {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
         "Connection: close\r\n\r\n";
}

}  // namespace velmora
