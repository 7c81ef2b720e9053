// The little HTTP the station's page needs, as pure functions over texts: the address to serve
// on, a request's head as a browser sends it, and whole responses. No sockets here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// "[HOST:]PORT": HOST defaults to 127.0.0.1 (a name, an IPv4 address, or an IPv6 one in
// brackets), PORT 0..65535 (0: any free port). False with the reason alone in *why.
bool ParseServeAddress(const std::string& address, std::string* host, int* port, std::string* why);

// The longest request head taken; a browser's is well under it.
inline constexpr size_t kMaxRequestHead = 8192;

struct HttpRequest {
  std::string method;  // as sent, e.g. "GET"
  std::string path;    // the target without its query, e.g. "/state"
};

enum class RequestHead { kIncomplete, kComplete, kBad };

// The head at the start of `received` (up to the empty line): kIncomplete while the empty line
// has not come and the head is within kMaxRequestHead, kBad for a longer head or a request line
// that is not "METHOD /TARGET HTTP/1.x".
RequestHead ParseRequestHead(std::string_view received, HttpRequest* request);

// A whole response that closes the connection; `withBody` false for HEAD. A `retryAfterS`
// above 0 adds "Retry-After: N" (a 503's: when to come again).
std::string HttpResponse(int status, std::string_view contentType, std::string_view body,
                         bool withBody, int retryAfterS = 0);
// The head of an event stream; the events follow until the connection closes.
std::string EventStreamHead();

}  // namespace velmora
