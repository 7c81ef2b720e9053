// The page's server over loopback: what each path answers, the event stream, clients that never
// read, the limits (the head's deadline, per address, all clients, event streams: 408 and 503
// with Retry-After), fresh clients among many slow ones, Stop with clients connected, and
// addresses it cannot serve on.
#include "station/page.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>
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
// `from` names the loopback address it connects from (127.0.0.2, ...): another client host
// as the page's per-address count sees it.
class Client {
 public:
  Client(int port, const std::string& request, const std::string& from = "") {
    if (from.empty()) {
      RealClock clock;
      std::string error;
      socket_ = TcpConnect("127.0.0.1", std::to_string(port), clock, clock.NowUs() + kHangUs, &error);
      EXPECT_NE(socket_, kNoSocket) << error;
    } else {
      // The platform's sockets choose no source address: this one is made by Asio and read
      // and written through the same calls as the others.
      using asio::ip::tcp;
      bound_.emplace(io_);
      std::error_code ec;
      bound_->open(tcp::v4(), ec);
      if (!ec) bound_->bind(tcp::endpoint(asio::ip::make_address(from), 0), ec);
      if (!ec) {
        bound_->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                      static_cast<unsigned short>(port)), ec);
      }
      if (!ec) bound_->non_blocking(true, ec);
      EXPECT_FALSE(ec) << from << ": " << ec.message();
      if (!ec) socket_ = static_cast<SocketId>(bound_->native_handle());
    }
    Send(request);
  }
  ~Client() {
    if (!bound_) CloseSocket(socket_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Send(const std::string& text) {
    size_t sent = 0;
    while (socket_ != kNoSocket && sent < text.size()) {
      SocketWait wait{socket_, false, true, 0};
      WaitSockets(&wait, 1, kHangUs);
      const long n = SocketSend(socket_, text.data() + sent, text.size() - sent);
      if (n < 0) break;
      sent += static_cast<size_t>(n);
    }
  }
  // Waits up to `us` for the server to answer or close: true when it has.
  bool AnsweredWithin(int64_t us) {
    SocketWait wait{socket_, true, false, 0};
    WaitSockets(&wait, 1, us);
    if (!wait.ready) return false;
    char buffer[65536];
    const long n = SocketReceive(socket_, buffer, sizeof buffer);
    if (n < 0) closed_ = true;
    if (n > 0) received_.append(buffer, static_cast<size_t>(n));
    return n != 0;
  }
  const std::string& Received() const { return received_; }

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
  asio::io_context io_;
  std::optional<asio::ip::tcp::socket> bound_;
  SocketId socket_ = kNoSocket;
  std::string received_;
  size_t consumed_ = 0;
  bool closed_ = false;
};

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n"; }

std::string StatusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }

std::string Header(const std::string& response, const std::string& name) {
  const size_t at = response.find("\r\n" + name + ": ");
  if (at == std::string::npos || at > response.find("\r\n\r\n")) return "";
  const size_t from = at + name.size() + 4;
  return response.substr(from, response.find("\r\n", from) - from);
}

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
  void SetUp() override { Serve(PageLimits{}); }

  // (Re)starts the page with these limits.
  void Serve(const PageLimits& limits) {
    page_ = std::make_unique<StationPage>(board_, limits);
    std::string why;
    ASSERT_TRUE(page_->Start("127.0.0.1:0", &why)) << why;
    const std::string url = page_->Url();
    ASSERT_EQ(url.substr(0, 17), "http://127.0.0.1:");
    port_ = std::stoi(url.substr(17));
  }

  StationBoard board_{"Line 3", {Row("COM1", "waiting"), Row("COM2", "waiting")}};
  std::unique_ptr<StationPage> page_;
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

// A refusal is a whole 503 with Retry-After that the client can read, not a reset: the client
// has sent its request before it reads, as a browser does.
void ExpectBusy(Client& client) {
  const std::string response = client.Response();
  EXPECT_EQ(StatusLine(response), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(Header(response, "Retry-After"), "5");
  EXPECT_EQ(std::to_string(Body(response).size()), Header(response, "Content-Length")) << response;
}

TEST_F(StationPageTest, EventClientsBeyondTheLimitAreTurnedAway) {
  PageLimits limits;
  limits.eventStreams = 8;
  Serve(limits);
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 0; i < limits.eventStreams; ++i) {
    clients.push_back(std::make_unique<Client>(port_, Get("/events")));
    ASSERT_TRUE(clients.back()->NextEvent().is_object()) << i;
  }
  Client refused(port_, Get("/events"));
  ExpectBusy(refused);
  // The page and the state are still served.
  EXPECT_EQ(StatusLine(Client(port_, Get("/state")).Response()), "HTTP/1.1 200 OK");

  clients.pop_back();  // one leaves: its slot is free again
  std::string body;
  for (int tries = 0; tries < 100 && body.empty(); ++tries) {
    Client again(port_, Get("/events"));
    const Json event = again.NextEvent();
    if (event.is_object()) body = event.dump();
  }
  EXPECT_FALSE(body.empty());
}

// The whole head must come by the deadline, however the client paces its bytes: one that sends
// a byte now and then is cut off as one that sends nothing, with 408.
TEST_F(StationPageTest, AHeadThatDoesNotComeInTimeIsAnswered408AndClosed) {
  PageLimits limits;
  limits.headDeadline = std::chrono::milliseconds(300);
  Serve(limits);
  Client silent(port_, "");
  Client dribbling(port_, "G");
  const std::string rest = "ET / HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a');
  size_t next = 0;
  // A byte every 20 ms at most, for far longer than the deadline, unless the server answers.
  while (next < rest.size() && !dribbling.AnsweredWithin(20'000)) dribbling.Send(rest.substr(next++, 1));
  ASSERT_LT(next, rest.size()) << "the slow head was never cut off";
  for (Client* c : {&silent, &dribbling}) {
    const std::string response = c->Response();
    EXPECT_EQ(StatusLine(response), "HTTP/1.1 408 Request Timeout") << response;
    EXPECT_TRUE(c->Closed());
  }
  // A whole head within the deadline is served as ever.
  EXPECT_EQ(StatusLine(Client(port_, Get("/state")).Response()), "HTTP/1.1 200 OK");
}

// One client address holds so many connections; more from it are turned away with 503, while
// another address is still served.
TEST_F(StationPageTest, ConnectionsFromOneAddressAreCapped) {
  PageLimits limits;
  limits.perAddress = 4;
  limits.headDeadline = std::chrono::minutes(5);  // the holders' heads never end
  Serve(limits);
  std::vector<std::unique_ptr<Client>> hogs;
  for (size_t i = 0; i < limits.perAddress; ++i) {
    hogs.push_back(std::make_unique<Client>(port_, "GET / HTTP/1.1\r\n", "127.0.0.2"));
  }
  // The server counts a connection once it has taken it: a request of the hogs' address that
  // is answered shows it has taken all before it.
  Client extra(port_, Get("/state"), "127.0.0.2");
  ExpectBusy(extra);
  for (const char* other : {"127.0.0.1", "127.0.0.3"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(StatusLine(Client(port_, Get("/state"), other).Response()), "HTTP/1.1 200 OK");
  }
  hogs.pop_back();  // one leaves: its address may connect again
  bool served = false;
  for (int tries = 0; tries < 100 && !served; ++tries) {
    served = StatusLine(Client(port_, Get("/state"), "127.0.0.2").Response()) == "HTTP/1.1 200 OK";
  }
  EXPECT_TRUE(served);
}

// Once the page holds all the connections it takes, every new one gets 503 with Retry-After
// (and can read it), until one leaves.
TEST_F(StationPageTest, AFullPageAnswers503WithRetryAfter) {
  PageLimits limits;
  limits.connections = 6;
  limits.headDeadline = std::chrono::minutes(5);  // the holders' heads never end
  Serve(limits);
  std::vector<std::unique_ptr<Client>> holders;
  for (size_t i = 0; i < limits.connections; ++i) {
    holders.push_back(std::make_unique<Client>(port_, "GET / HTTP/1.1\r\n",
                                               "127.0.1." + std::to_string(i + 1)));
  }
  for (const char* request : {"GET / HTTP/1.1\r\n\r\n", "GET /events HTTP/1.1\r\n\r\n",
                              "HEAD /state HTTP/1.1\r\n\r\n"}) {
    SCOPED_TRACE(request);
    Client refused(port_, request, "127.0.2.1");
    ExpectBusy(refused);
  }
  holders.front()->Send("\r\n");  // its request is whole now: answered, and it leaves
  EXPECT_EQ(StatusLine(holders.front()->Response()), "HTTP/1.1 200 OK");
  holders.erase(holders.begin());
  bool served = false;
  for (int tries = 0; tries < 100 && !served; ++tries) {
    served = StatusLine(Client(port_, Get("/state"), "127.0.2.1").Response()) == "HTTP/1.1 200 OK";
  }
  EXPECT_TRUE(served);
}

// Many slow clients on many addresses, each with a head that never ends, hang on within the
// limits: fresh clients still get the page, the state and an event stream at once.
TEST_F(StationPageTest, FreshClientsAreServedWhileManySlowClientsHangOn) {
  PageLimits limits;
  limits.headDeadline = std::chrono::minutes(5);  // far beyond the test, however slow the machine
  Serve(limits);
  constexpr int kAddresses = 10;
  constexpr int kEach = 30;
  std::vector<std::unique_ptr<Client>> slow;
  for (int a = 0; a < kAddresses; ++a) {
    for (int i = 0; i < kEach; ++i) {
      slow.push_back(std::make_unique<Client>(port_, "GET / HTTP/1.1\r\nX-Slow: ",
                                              "127.0.3." + std::to_string(a + 1)));
    }
  }
  for (const auto& c : slow) c->Send("a");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(StatusLine(Client(port_, Get("/")).Response()), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Client(port_, Get("/state")).Response()), "HTTP/1.1 200 OK");
    Client events(port_, Get("/events"));
    EXPECT_TRUE(events.NextEvent().is_object());
    for (const auto& c : slow) c->Send("a");
  }
  // And the slow ones are still there, unanswered, their deadline far off.
  for (const auto& c : slow) EXPECT_FALSE(c->AnsweredWithin(0));
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
