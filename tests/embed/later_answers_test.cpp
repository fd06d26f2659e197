// Answers that come after the route's handler has returned: whole from a timer or a fetch's
// completion, in pieces with back-pressure, and as Server-Sent Events; on both bindings, over
// real sockets, with the one loop of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/platform/core/deadline.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/quorvin.h"
#include "quorvin/server/http_connection.h"
#include "quorvin/server/server_module.h"
#include "raw_client.h"
#include "test_support.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using testing::ParseAnswer;
using testing::RawClient;

bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  return net::Application::Instance().RunUntil(condition, limit);
}

// Reads from a second thread while the test's thread runs the loop.
class Reader {
 public:
  Reader(int port, std::string request, std::function<void(RawClient&, std::string&)> read)
      : thread_([this, port, request = std::move(request), read = std::move(read)] {
          RawClient client(port);
          if (client.Connected() && client.Send(request)) read(client, got_);
          done_ = true;
        }) {}
  ~Reader() {
    if (thread_.joinable()) thread_.join();
  }
  // Runs the loop until the reader is done, and gives what it read.
  std::string Wait() {
    RunUntil([this] { return done_.load(); }, 20s);
    thread_.join();
    return got_;
  }

 private:
  std::atomic<bool> done_{false};
  std::string got_;
  std::thread thread_;
};

std::string ReadToClose(int port, const std::string& request) {
  Reader reader(port, request, [](RawClient& c, std::string& got) { got = c.ReadAll(); });
  return reader.Wait();
}

class LaterAnswers : public ::testing::TestWithParam<Binding> {
 protected:
  void SetUp() override { site_.Write("index.htm", "home"); }
  testing::TempDir site_;
};

TEST_P(LaterAnswers, ComeFromATimerAFetchOrTheDeadline) {
  Server server(site_.Str(), GetParam());
  server.Module().AnswerTimeout = 1;
  platform::Deadline timer;
  server.Get("/timer", [&timer](const Request& req, Response& res) {
    Later later = res.Later();
    const std::string who = req.Query("who");
    timer.OnDue = [later, who]() mutable { later.Answer([&who](Response& r) { r.Status(202).Text("late " + who); }); };
    timer.After(30ms);
  });
  server.Get("/source", [](const Request&, Response& res) { res.Text("from the source"); });
  // Answers with what another request of the program's own client brought back.
  std::unique_ptr<client::TOrbHTTPClient> fetcher;
  server.Get("/relay", [&fetcher, &server](const Request&, Response& res) {
    Later later = res.Later();
    fetcher = std::make_unique<client::TOrbHTTPClient>(nullptr);
    client::TOrbHTTPClient& c = *fetcher;
    c.Address = "127.0.0.1";
    c.Port = server.Port();
    c.SetStringVariable(client::kMethod, "GET");
    c.SetStringVariable(client::kURL, "/source");
    c.SetStringVariable(client::kProtocolVersion, "HTTP/1.0");
    c.OnConnect = [&c](platform::TComponent*, net::TCustomWinSocket*) { c.SendRequest(); };
    c.OnStreamReady = [later](net::TCustomWinSocket*, platform::TMemoryStream& stream) mutable {
      const std::string body(stream.View());
      later.Answer([&body](Response& r) { r.Text("relayed: " + body); });
    };
    c.SetActive(true);
  });
  bool gone = false;
  server.Get("/never", [&gone](const Request&, Response& res) { res.Later().OnGone([&gone] { gone = true; }); });
  const int port = server.Listen(0);

  // Over a kept connection: the later answers are framed like any other.
  Reader reader(port,
                "GET /timer?who=a HTTP/1.1\r\nHost: x\r\n\r\n"
                "GET /relay HTTP/1.1\r\nHost: x\r\n\r\n"
                "GET /index.htm HTTP/1.1\r\nHost: x\r\n\r\n",
                [](RawClient& c, std::string& got) {
                  for (int i = 0; i < 3; ++i) got += c.ReadAnswer() + "|";
                });
  const std::string answers = reader.Wait();
  EXPECT_NE(answers.find("202 Accepted"), std::string::npos) << answers;
  EXPECT_NE(answers.find("late a|"), std::string::npos) << answers;
  EXPECT_NE(answers.find("relayed: from the source|"), std::string::npos) << answers;
  EXPECT_NE(answers.find("home|"), std::string::npos) << answers;

  const std::string late = ReadToClose(port, "GET /never HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ParseAnswer(late).status_line.substr(0, 12), "HTTP/1.0 504") << late;
  EXPECT_TRUE(gone) << "the program was not told that its answer is no longer wanted";
}

TEST_P(LaterAnswers, TheProgramHearsWhenThePeerLeaves) {
  Server server(site_.Str(), GetParam());
  int gone = 0;
  std::vector<Later> waiting;
  std::vector<quorvin::Stream> streams;
  server.Get("/wait", [&](const Request&, Response& res) {
    waiting.push_back(res.Later());
    waiting.back().OnGone([&gone] { ++gone; });
  });
  server.Get("/stream", [&](const Request&, Response& res) {
    streams.push_back(res.Stream());
    streams.back().Write("first piece\n");
    streams.back().OnGone([&gone] { ++gone; });
  });
  const int port = server.Listen(0);
  // Before the answer, and in the middle of one: a reset and an orderly close.
  for (const char* path : {"/wait", "/stream"}) {
    for (bool reset : {true, false}) {
      SCOPED_TRACE(std::string(path) + (reset ? " reset" : " closed"));
      const int before = gone;
      Reader reader(port, std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n",
                    [reset](RawClient& c, std::string&) {
                      std::this_thread::sleep_for(100ms);
                      if (reset) c.Reset();
                    });
      reader.Wait();  // the client closes as it goes
      EXPECT_TRUE(RunUntil([&] { return gone == before + 1; })) << "no word of the peer's leaving";
    }
  }
  ASSERT_EQ(waiting.size(), 2U);
  EXPECT_FALSE(waiting[0].Open());
  EXPECT_FALSE(waiting[0].Answer([](Response& r) { r.Text("too late"); }));
  ASSERT_EQ(streams.size(), 2U);
  EXPECT_FALSE(streams[1].Open());
  EXPECT_FALSE(streams[1].Write("nobody reads this"));
}

TEST_P(LaterAnswers, StreamsAreChunkedOnHttp11AndEndWithTheConnectionOnHttp10) {
  Server server(site_.Str(), GetParam());
  platform::Deadline timer;
  std::vector<quorvin::Stream> streams;
  server.Any("/count", [&](const Request&, Response& res) {
    quorvin::Stream stream = res.Header("X-Count", "3").Stream("text/plain");
    stream.Write("one\n");
    streams.push_back(stream);
    timer.OnDue = [&streams] {
      for (auto& s : streams) {
        s.Write("two\n");
        s.Write("");  // nothing: no chunk that would end the answer early
        s.Write("three\n");
        s.End();
      }
      streams.clear();
    };
    timer.After(20ms);
  });
  server.Get("/fail", [](const Request&, Response& res) {
    res.Stream().Write("partial");
    throw std::runtime_error("broken mid-answer");
  });
  const int port = server.Listen(0);

  Reader reader(port,
                "GET /count HTTP/1.1\r\nHost: x\r\n\r\n"
                "GET /index.htm HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                [](RawClient& c, std::string& got) { got = c.ReadAll(); });
  const std::string kept = reader.Wait();
  const auto parsed = ParseAnswer(kept);
  EXPECT_EQ(parsed.Header("Transfer-Encoding"), "chunked") << kept;
  EXPECT_EQ(parsed.Header("X-Count"), "3");
  EXPECT_EQ(parsed.Header("Content-Length"), "");
  EXPECT_NE(kept.find("\r\n\r\n4\r\none\n\r\n4\r\ntwo\n\r\n6\r\nthree\n\r\n0\r\n\r\nHTTP/1.1 200"), std::string::npos)
      << kept;
  EXPECT_NE(kept.find("home"), std::string::npos) << "the next request was not answered";

  // A HEAD answer is its head alone, and the connection goes on to the next request.
  Reader heads(port,
               "HEAD /count HTTP/1.1\r\nHost: x\r\n\r\n"
               "GET /index.htm HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
               [](RawClient& c, std::string& got) { got = c.ReadAll(); });
  const std::string headed = heads.Wait();
  EXPECT_EQ(headed.find("one"), std::string::npos) << headed;
  EXPECT_NE(headed.find("home"), std::string::npos) << headed;

  const std::string old = ReadToClose(port, "GET /count HTTP/1.0\r\n\r\n");
  const auto plain = ParseAnswer(old);
  EXPECT_EQ(plain.Header("Transfer-Encoding"), "");
  EXPECT_EQ(plain.body, "one\ntwo\nthree\n") << old;

  // A handler that fails once its answer has begun can only end the connection.
  const std::string failed = ReadToClose(port, "GET /fail HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(failed.find("partial"), std::string::npos) << failed;
  EXPECT_EQ(failed.find("0\r\n\r\n"), std::string::npos) << "a cut answer looked complete: " << failed;
}

TEST_P(LaterAnswers, ASlowReaderHoldsTheWriterBack) {
  Server server(site_.Str(), GetParam());
  constexpr std::size_t kPiece = 64 * 1024;
  // More than the system's buffers on both sides take.
  constexpr std::size_t kTotal = 12 * 1024 * 1024;
  const std::string piece(kPiece, 'x');
  std::size_t written = 0;
  std::size_t most_queued = 0;
  int waits = 0;
  quorvin::Stream stream;
  std::function<void()> pump = [&] {
    // Writes until told to wait, then waits for the drain.
    while (written < kTotal) {
      written += kPiece;
      const bool on = stream.Write(piece);
      most_queued = std::max(most_queued, stream.Queued());
      if (!on) {
        ++waits;
        return;
      }
    }
    stream.End();
  };
  server.Get("/flood", [&](const Request&, Response& res) {
    stream = res.Stream();
    stream.OnDrained(pump);
    pump();
  });
  const int port = server.Listen(0);
  std::atomic<bool> paused{true};
  Reader reader(port, "GET /flood HTTP/1.0\r\n\r\n", [&paused](RawClient& c, std::string& got) {
    // Small, but above the loopback's segment size: a window smaller than one segment is
    // reopened only by the sender's probes, seconds apart.
    c.SetReceiveBuffer(256 * 1024);
    while (paused) std::this_thread::sleep_for(5ms);
    got = c.ReadAll();
  });
  // The reader takes nothing yet: once the system's buffers are full, the writer is told to
  // wait and holds on, short of what it has to send.
  ASSERT_TRUE(RunUntil([&] { return waits >= 1; }));
  RunUntil([] { return false; }, 300ms);
  EXPECT_LT(written, kTotal);
  paused = false;
  const std::string all = reader.Wait();
  EXPECT_EQ(ParseAnswer(all).body.size(), kTotal);
  EXPECT_GT(waits, 1);
  EXPECT_LE(most_queued, server::HttpConnection::kStreamHighWater + kPiece + 64);
}

TEST_P(LaterAnswers, EventStreamsSendFieldsHeartbeatsAndTheLastIdSeen) {
  Server server(site_.Str(), GetParam());
  std::vector<EventStream> subscribers;
  server.Get("/events", [&](const Request&, Response& res) {
    EventStream events = res.Events(1s);
    events.Retry(2500ms);
    events.Send("resumed after " + events.LastEventId(), "hello");
    events.Send("line one\nline two\r\nline three", "", "7");
    // A name with a line break in it cannot start fields of its own.
    events.Send("x", "bad\ndata: injected");
    subscribers.push_back(events);
  });
  const int port = server.Listen(0);
  Reader reader(port, "GET /events HTTP/1.1\r\nHost: x\r\nLast-Event-ID: 41\r\nConnection: close\r\n\r\n",
                [](RawClient& c, std::string& got) { got = c.ReadAll(); });
  // The heartbeat comes after a second of silence; then the program ends the stream.
  RunUntil([] { return false; }, 1500ms);
  for (auto& s : subscribers) s.End();
  const std::string got = reader.Wait();
  const auto parsed = ParseAnswer(got);
  EXPECT_EQ(parsed.Header("Content-Type"), "text/event-stream; charset=utf-8") << got;
  EXPECT_EQ(parsed.Header("Cache-Control"), "no-cache");
  EXPECT_NE(got.find("retry: 2500\n\n"), std::string::npos) << got;
  EXPECT_NE(got.find("event: hello\ndata: resumed after 41\n\n"), std::string::npos) << got;
  EXPECT_NE(got.find("id: 7\ndata: line one\ndata: line two\ndata: line three\n\n"), std::string::npos) << got;
  EXPECT_NE(got.find("event: bad\ndata: x\n\n"), std::string::npos) << got;
  EXPECT_NE(got.find(":\n\n"), std::string::npos) << "no heartbeat: " << got;
}

INSTANTIATE_TEST_SUITE_P(Bindings, LaterAnswers, ::testing::Values(Binding::kScktComp, Binding::kDWinsock),
                         [](const auto& param_info) {
                           return param_info.param == Binding::kScktComp ? std::string("scktcomp")
                                                                   : std::string("dwinsock");
                         });

}  // namespace
}  // namespace quorvin
