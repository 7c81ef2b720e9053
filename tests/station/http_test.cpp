// The page's HTTP as texts: the address to serve on and the request heads a client sends.
#include "station/http.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(ServeAddressTest, HostAndPort) {
  struct Case {
    const char* address;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"8080", true, "127.0.0.1", 8080},
      {"0", true, "127.0.0.1", 0},
      {"0.0.0.0:8080", true, "0.0.0.0", 8080},
      {"station-3.local:65535", true, "station-3.local", 65535},
      {"[::1]:8080", true, "::1", 8080},
      {"abc", false, "", 0},
      {"", false, "", 0},
      {"127.0.0.1:99999", false, "", 0},
      {"127.0.0.1:-1", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {":8080", false, "", 0},
      {"127.0.0.1:80x", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::string host, why;
    int port = -1;
    ASSERT_EQ(ParseServeAddress(c.address, &host, &port, &why), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    } else {
      EXPECT_NE(why.find("[HOST:]PORT"), std::string::npos) << why;
    }
  }
}

TEST(RequestHeadTest, RequestLines) {
  struct Case {
    std::string received;
    RequestHead result;
    const char* method;
    const char* path;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", RequestHead::kComplete, "GET", "/"},
      {"HEAD /state?t=1 HTTP/1.0\r\n\r\n", RequestHead::kComplete, "HEAD", "/state"},
      {"GET /events HTTP/1.1\n\n", RequestHead::kComplete, "GET", "/events"},
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", RequestHead::kComplete, "POST", "/"},
      {"GET / HTTP/1.1\r\nHost: x\r\n", RequestHead::kIncomplete, "", ""},
      {"", RequestHead::kIncomplete, "", ""},
      {"GET /\r\n\r\n", RequestHead::kBad, "", ""},
      {"GET http://x/ HTTP/1.1\r\n\r\n", RequestHead::kBad, "", ""},
      {"get / HTTP/1.1\r\n\r\n", RequestHead::kBad, "", ""},
      {"GET / HTTP/2.0\r\n\r\n", RequestHead::kBad, "", ""},
      {"GET / HTTP/1.1 x\r\n\r\n", RequestHead::kBad, "", ""},
      {"\r\n\r\n", RequestHead::kBad, "", ""},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestHead, 'a'), RequestHead::kBad, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.received.substr(0, 40));
    HttpRequest request;
    ASSERT_EQ(ParseRequestHead(c.received, &request), c.result);
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.path, c.path);
  }
}

TEST(HttpResponseTest, HeadLeavesTheBodyOutButKeepsItsLength) {
  const std::string get = HttpResponse(200, "text/plain", "hello", true);
  const std::string head = HttpResponse(200, "text/plain", "hello", false);
  EXPECT_EQ(get.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_NE(head.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(get, head + "hello");
  EXPECT_NE(HttpResponse(405, "text/plain", "", true).find("Allow: GET, HEAD\r\n"), std::string::npos);
}

}  // namespace
}  // namespace velmora
