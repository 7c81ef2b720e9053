// The page's server over loopback: what each path answers, the event stream, clients that never
// read, the limits, Stop with clients connected, and addresses it cannot serve on.
#include "station/page.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "station/http.h"
#include "platform/tcp_socket.h"

namespace velmora {
namespace {

using Json = nlohmann::json;

// Bounds that only a hang reaches; nothing here waits for them on a working server.
constexpr int64_t kHangUs = 20'000'000;
constexpr auto kHang = std::chrono::seconds(60);

// A raw HTTP client: what the test sends is exactly what the server sees.
class Client {
 public:
  Client(int port, const std::string& request) {
    RealClock clock;
    std::string error;
    socket_ = TcpConnect("127.0.0.1", std::to_string(port), clock, clock.NowUs() + kHangUs, &error);
    EXPECT_NE(socket_, kNoSocket) << error;
    size_t sent = 0;
    while (socket_ != kNoSocket && sent < request.size()) {
      SocketWait wait{socket_, false, true, 0};
      WaitSockets(&wait, 1, kHangUs);
      const long n = SocketSend(socket_, request.data() + sent, request.size() - sent);
      if (n < 0) break;
      sent += static_cast<size_t>(n);
    }
  }
  ~Client() { CloseSocket(socket_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Reads until `done` holds for what came so far or the server closes; false on a hang.
  template <typename Done>
  bool ReadUntil(Done done) {
    RealClock clock;
    const Deadline deadline(clock, kHangUs);
    while (!done(received_) && !closed_ && deadline.LeftUs() > 0) {
      SocketWait wait{socket_, true, false, 0};
      WaitSockets(&wait, 1, deadline.LeftUs());
      char buffer[65536];
      const long n = SocketReceive(socket_, buffer, sizeof buffer);
      if (n < 0) closed_ = true;
      if (n > 0) received_.append(buffer, static_cast<size_t>(n));
    }
    return done(received_) || closed_;
  }
  // The whole response of a request the server answers and closes.
  std::string Response() {
    EXPECT_TRUE(ReadUntil([](const std::string&) { return false; }));
    return received_;
  }
  // The payload of the next "data:" event.
  Json NextEvent() {
    const auto complete = [this](const std::string& r) {
      const size_t at = r.find("data: ", consumed_);
      return at != std::string::npos && r.find("\n\n", at) != std::string::npos;
    };
    if (!ReadUntil(complete) || !complete(received_)) return nullptr;
    const size_t at = received_.find("data: ", consumed_) + 6;
    const size_t end = received_.find("\n\n", at);
    consumed_ = end + 2;
    return Json::parse(received_.substr(at, end - at));
  }
  bool Closed() {
    return ReadUntil([](const std::string&) { return false; }) && closed_;
  }

 private:
  SocketId socket_ = kNoSocket;
  std::string received_;
  size_t consumed_ = 0;
  bool closed_ = false;
};

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n"; }

std::string Body(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

PortRow Row(const std::string& port, const std::string& state) {
  PortRow row;
  row.port = port;
  row.state = state;
  return row;
}

class StationPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(page_->Start("127.0.0.1:0", &why)) << why;
    const std::string url = page_->Url();
    ASSERT_EQ(url.substr(0, 17), "http://127.0.0.1:");
    port_ = std::stoi(url.substr(17));
  }

  StationBoard board_{"Line 3", {Row("COM1", "waiting"), Row("COM2", "waiting")}};
  std::unique_ptr<StationPage> page_ = std::make_unique<StationPage>(board_);
  int port_ = 0;
};

TEST_F(StationPageTest, ServesThePageWithEverythingInline) {
  const std::string response = Client(port_, Get("/")).Response();
  EXPECT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(response.find("Content-Type: text/html"), std::string::npos);
  const std::string page = Body(response);
  EXPECT_EQ(page, StationPageHtml());
  for (const char* hook : {"id=\"ports\"", "id=\"records\"", "id=\"totals\"", "EventSource"}) {
    EXPECT_NE(page.find(hook), std::string::npos) << hook;
  }
  // Offline and read-only: nothing fetched from elsewhere, nothing that sends anything back.
  for (const char* absent : {"://", " src=", "<link", "<form", "<button", "<input", "@import"}) {
    EXPECT_EQ(page.find(absent), std::string::npos) << absent;
  }
}

TEST_F(StationPageTest, StateIsTheBoardsSnapshot) {
  board_.SetRow(1, Row("COM2", "writing"));
  const std::string response = Client(port_, Get("/state?x=1")).Response();
  EXPECT_NE(response.find("Content-Type: application/json"), std::string::npos);
  const Json state = Json::parse(Body(response));
  EXPECT_EQ(state["title"], "Line 3");
  EXPECT_EQ(state["ports"][1]["state"], "writing");
}

TEST_F(StationPageTest, AnswersForOtherRequests) {
  struct Case {
    std::string request;
    const char* statusLine;
    bool body;
  } cases[] = {
      {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", false},
      {"HEAD /events HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", false},
      {Get("/favicon.ico"), "HTTP/1.1 404 Not Found", true},
      {Get("/state/"), "HTTP/1.1 404 Not Found", true},
      {"POST /state HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", true},
      {"DELETE / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", true},
      {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestHead + 10, 'a'),
       "HTTP/1.1 431 Request Header Fields Too Large", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 30));
    const std::string response = Client(port_, c.request).Response();
    EXPECT_EQ(response.substr(0, response.find("\r\n")), c.statusLine);
    EXPECT_EQ(Body(response).empty(), !c.body);
  }
}

TEST_F(StationPageTest, EventStreamSendsTheSnapshotThenEachChange) {
  Client events(port_, Get("/events"));
  const Json first = events.NextEvent();
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["ports"][0]["state"], "waiting");

  PortRow row = Row("COM1", "writing");
  row.progress = 30;
  board_.SetRow(0, row);
  Json next = events.NextEvent();
  ASSERT_TRUE(next.is_object());
  EXPECT_EQ(next["ports"][0]["progress"], 30);

  board_.AddRecord(R"({"port":"COM1","outcome":"succeeded"})");
  next = events.NextEvent();
  ASSERT_TRUE(next.is_object());
  EXPECT_EQ(next["records"].size(), 1u);
}

TEST_F(StationPageTest, ClientsThatNeverReadDoNotHoldUpTheStation) {
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(std::make_unique<Client>(port_, Get("/events")));
  // Large rows, so that the snapshots fill the idle clients' socket buffers quickly.
  PortRow row = Row("COM1", "writing");
  row.lastError = std::string(20000, 'e');
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < 10000; ++i) {
      row.progress = i % 101;
      board_.SetRow(0, row);
    }
  });
  ASSERT_EQ(writer.wait_for(kHang), std::future_status::ready);

  // The server still answers, and a new event stream gets the last row.
  EXPECT_EQ(Json::parse(Body(Client(port_, Get("/state")).Response()))["ports"][0]["progress"],
            9999 % 101);
  Client reader(port_, Get("/events"));
  EXPECT_EQ(reader.NextEvent()["ports"][0]["progress"], 9999 % 101);
}

TEST_F(StationPageTest, EventClientsBeyondTheLimitAreTurnedAway) {
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 0; i < StationPage::kMaxEventClients; ++i) {
    clients.push_back(std::make_unique<Client>(port_, Get("/events")));
    ASSERT_TRUE(clients.back()->NextEvent().is_object()) << i;
  }
  const std::string refused = Client(port_, Get("/events")).Response();
  EXPECT_EQ(refused.substr(0, 33), "HTTP/1.1 503 Service Unavailable\r");
  // The page and the state are still served.
  EXPECT_EQ(Client(port_, Get("/state")).Response().substr(0, 15), "HTTP/1.1 200 OK");

  clients.pop_back();  // one leaves: its slot is free again
  std::string body;
  for (int tries = 0; tries < 100 && body.empty(); ++tries) {
    Client again(port_, Get("/events"));
    const Json event = again.NextEvent();
    if (event.is_object()) body = event.dump();
  }
  EXPECT_FALSE(body.empty());
}

TEST_F(StationPageTest, StopReturnsWithClientsConnected) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<Client>(port_, Get("/events")));
    ASSERT_TRUE(clients.back()->NextEvent().is_object());
  }
  Client silent(port_, "GET / HTTP/1.1\r\n");  // a request that never ends
  auto stopped = std::async(std::launch::async, [&] { page_.reset(); });
  ASSERT_EQ(stopped.wait_for(kHang), std::future_status::ready);
  for (const auto& c : clients) EXPECT_TRUE(c->Closed());
  EXPECT_TRUE(silent.Closed());
}

TEST(StationPageStartTest, AddressesItCannotServeOn) {
  StationBoard board("t", {});
  StationPage first(board);
  std::string why;
  ASSERT_TRUE(first.Start("127.0.0.1:0", &why)) << why;
  const std::string taken = "127.0.0.1:" + first.Url().substr(17, first.Url().size() - 18);

  struct Case {
    std::string address;
    const char* reason;
  } cases[] = {
      {"abc", "not a number"},
      {"127.0.0.1:99999", "not a number"},
      {":8080", "no host"},
      {taken, ""},  // the system's words for a port in use
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    StationPage page(board);
    ASSERT_FALSE(page.Start(c.address, &why));
    const std::string prefix = "cannot serve the station page on " + c.address + ": ";
    EXPECT_EQ(why.substr(0, prefix.size()), prefix) << why;
    EXPECT_GT(why.size(), prefix.size()) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
  EXPECT_FALSE(first.Start("127.0.0.1:0", &why));
  EXPECT_NE(why.find("served already on http://"), std::string::npos) << why;
}

}  // namespace
}  // namespace velmora
