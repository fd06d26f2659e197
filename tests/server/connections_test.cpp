// A connection's life at socket level, on either binding: persistent connections, the bound on
// simultaneous connections, and the deadlines that end stalled phases.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "server_test_support.h"

namespace quorvin::testing {
namespace {

using namespace std::chrono_literals;

net::Application& App() { return net::Application::Instance(); }

class Connections : public ::testing::Test {
 protected:
  void SetUp() override { WriteSite(root); }
  TempDir root;
};

const std::string kGet11 = "GET /page.htm HTTP/1.1\r\nHost: test\r\n\r\n";

TEST_F(Connections, AKeptConnectionAnswersEveryRequestInTurn) {
  ServerForm server(root.Str(), {{"KeepAlive", 1}});
  std::vector<std::string> answers;
  bool closed = false;
  ASSERT_TRUE(WithClient([&] {
    RawClient c(server.Port());
    c.Send(kGet11);
    answers.push_back(c.ReadAnswer());
    // Two in one send, then one that asks to close.
    c.Send(kGet11 + "GET /missing HTTP/1.1\r\n\r\n");
    answers.push_back(c.ReadAnswer());
    answers.push_back(c.ReadAnswer());
    c.Send("GET /docs/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    answers.push_back(c.ReadAll(&closed));
  }));
  ASSERT_EQ(answers.size(), 4u);
  for (int i : {0, 1}) {
    const ParsedAnswer a = ParseAnswer(answers[static_cast<std::size_t>(i)]);
    EXPECT_EQ(a.body, "<html>page</html>");
    EXPECT_EQ(a.Header("Connection"), "keep-alive");
  }
  EXPECT_EQ(ParseAnswer(answers[2]).status_line, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(ParseAnswer(answers[3]).body, "<html>docs</html>");
  EXPECT_EQ(ParseAnswer(answers[3]).Header("Connection"), "close");
  EXPECT_TRUE(closed);
}

TEST_F(Connections, AClientBeyondTheBoundWaitsForAPlace) {
  ServerForm server(root.Str(), {{"MaxConnections", 3}});
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<RawClient>(server.Port()));
  ASSERT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 3; }, 5s));

  std::atomic<bool> done{false};
  Exchange fourth;
  std::thread t([&] {
    RawClient c(server.Port());
    c.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    fourth.answer = c.ReadAll(&fourth.closed);
    done = true;
  });
  App().RunFor(300ms);
  EXPECT_FALSE(done.load()) << "neither dropped nor served while three are busy";
  EXPECT_EQ(server.LiveConnections(), 3);

  idle.front()->Reset();  // a place frees
  EXPECT_TRUE(App().RunUntil([&] { return done.load(); }, 5s));
  t.join();
  EXPECT_EQ(ParseAnswer(fourth.answer).body, "<html>page</html>");
}

TEST_F(Connections, IdleKeptConnectionsGiveUpTheirPlacesFirst) {
  ServerForm server(root.Str(), {{"MaxConnections", 2}, {"KeepAlive", 1}});
  RawClient first(server.Port());
  RawClient second(server.Port());
  std::string third;
  ASSERT_TRUE(WithClient([&] {
    first.Send(kGet11);
    first.ReadAnswer();
    second.Send(kGet11);
    second.ReadAnswer();
    // Both wait for their next request now; the third client is served at once all the same.
    RawClient c(server.Port(), 5s);
    c.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    third = c.ReadAll();
  }));
  EXPECT_EQ(ParseAnswer(third).body, "<html>page</html>");
  bool first_closed = false;
  first.ReadAll(&first_closed);
  EXPECT_TRUE(first_closed) << "the connection idle longest gave up its place";
}

// Many clients that stall in their request hold no one else out.
TEST_F(Connections, StalledClientsHoldNoOneOut) {
  ServerForm server(root.Str());
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int i = 0; i < 30; ++i) {
    stalled.push_back(std::make_unique<RawClient>(server.Port()));
    stalled.back()->Send("GET /page.htm HTTP/1.1\r\nHost: a\r\n");
  }
  ASSERT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 30; }, 5s));
  const Exchange ex = server.Get("GET /page.htm HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ParseAnswer(ex.answer).body, "<html>page</html>");
  // The answered one goes; the stalled ones are all still there.
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 30; }, 5s));
}

struct StallCase {
  const char* name;
  const char* property;
  std::string sent;          // what the client sends before it stalls
  std::string status_line;   // what it gets before the close; empty: nothing
};

class PhaseDeadline : public Connections, public ::testing::WithParamInterface<StallCase> {};

TEST_P(PhaseDeadline, EndsAStalledPhase) {
  const StallCase& c = GetParam();
  ServerForm server(root.Str(), {{c.property, 1}, {"KeepAlive", 1}});
  std::string got;
  bool closed = false;
  ASSERT_TRUE(WithClient([&] {
    RawClient client(server.Port(), 15s);
    client.Send(c.sent);
    got = client.ReadAll(&closed);
  }));
  EXPECT_TRUE(closed);
  EXPECT_EQ(ParseAnswer(got).status_line, c.status_line) << got;
}

INSTANTIATE_TEST_SUITE_P(
    , PhaseDeadline,
    ::testing::Values(
        StallCase{"HeadThatNeverEnds", "HeaderTimeout", "GET /page.htm HTTP/1.1\r\nHost: a\r\n",
                  "HTTP/1.1 408 Request Timeout"},
        StallCase{"NothingAtAll", "HeaderTimeout", "", "HTTP/1.0 408 Request Timeout"},
        StallCase{"BodyThatStops", "BodyTimeout",
                  "POST /page.htm HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc",
                  "HTTP/1.1 408 Request Timeout"},
        StallCase{"KeptConnectionNotUsedAgain", "KeepAliveTimeout",
                  "GET /missing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Connections, AnAnswerThePeerTakesNothingOfEnds) {
  std::string big(8 << 20, 'x');
  root.Write("big.bin", big);
  ServerForm server(root.Str(), {{"SendTimeout", 1}});
  RawClient client(server.Port());
  const int small = 4096;
  client.SetReceiveBuffer(small);
  client.Send("GET /big.bin HTTP/1.0\r\n\r\n");
  // The client reads nothing: the socket fills, and after a second without progress the server
  // gives the answer up.
  ASSERT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 1; }, 5s));
  EXPECT_TRUE(App().RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
}

}  // namespace
}  // namespace quorvin::testing
