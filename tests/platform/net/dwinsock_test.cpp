#include "quorvin/platform/net/dwinsock.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "loop_client.h"
#include "test_support.h"

namespace quorvin::net {
namespace {

using namespace testkit;

// A connection that counts itself and notes its end, as the server's connections would.
class CountedConnection : public TStreamSocket {
 public:
  CountedConnection(TSocket handle, TCustomBasicServerSocket* owner, int& live)
      : TStreamSocket(handle, owner), live_(live) {
    ++live_;
  }

  ~CountedConnection() override { --live_; }

 private:
  int& live_;
};

std::unique_ptr<TBasicServerSocket> Listening(
    int& live, const std::function<void(TBasicServerSocket&)>& setup = nullptr,
    int send_buffer = 0) {
  auto server = std::make_unique<TBasicServerSocket>(nullptr);
  server->SetPort("0");
  if (setup) setup(*server);
  server->Listen([&live, send_buffer](TCustomBasicServerSocket& owner, TSocket handle) {
    if (send_buffer > 0) SetBuffer(handle, SO_SNDBUF, send_buffer);
    return std::make_unique<CountedConnection>(handle, &owner, live);
  });
  return server;
}

int SelectWrite(TStreamSocket& connection, unsigned message = DW_SOCKETMESSAGE) {
  return WSAAsyncSelect(connection.SocketHandle(), connection.Owner()->GetHandle(), message,
                        FD_WRITE | FD_CLOSE);
}

// --- Exchanging data ----------------------------------------------------------------------

TEST(BasicServerSocket, ExchangesDataThroughTheHandlersAndDestroysTheClosedConnection) {
  int live = 0;
  std::vector<std::string> events;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnAccept = [&](TComponent* sender, TStreamSocket* c) {
      EXPECT_EQ(sender, &s);
      EXPECT_EQ(c->Owner(), &s);
      EXPECT_TRUE(c->GetConnected());
      events.push_back("Accept");
    };
    s.OnRead = [&](TComponent*, TStreamSocket* c) {
      char buffer[100];
      const int n = c->Recv(buffer, sizeof buffer);
      events.push_back("Read " + std::to_string(n));
      if (n <= 0) return;
      std::string answer(buffer, static_cast<std::size_t>(n));
      for (char& ch : answer) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      EXPECT_EQ(c->Send(answer.data(), n), n);
    };
    s.OnDisconnect = [&](TComponent*, TStreamSocket* c) {
      EXPECT_FALSE(c->GetConnected());
      events.push_back("Disconnect");
    };
  });
  ASSERT_TRUE(server->Listening());
  ASSERT_GT(server->LocalPort(), 0);

  RawClient client(server->LocalPort());
  client.Send("hello");
  ASSERT_TRUE(Await([&] {
    client.ReadAvailable();
    return client.received == "HELLO";
  }));
  ASSERT_EQ(server->ConnectionCount(), 1);
  EXPECT_EQ(server->Connections(0)->RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(server->Connections(0)->LocalPort(), server->LocalPort());
  client.Finish();
  ASSERT_TRUE(Await([&] { return live == 0; }));
  EXPECT_EQ(server->ConnectionCount(), 0);
  // The end of the data is read like data (Recv gives 0), then the connection ends.
  EXPECT_EQ(events, (std::vector<std::string>{"Accept", "Read 5", "Read 0", "Disconnect"}));
}

TEST(StreamSocket, RecvInPiecesSmallerThanWhatArrivedGetsEverything) {
  int live = 0;
  std::vector<int> reads;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnRead = [&](TComponent*, TStreamSocket* c) {
      char buffer[4];  // the layer must come back for the rest
      reads.push_back(c->Recv(buffer, sizeof buffer));
    };
  });
  {
    RawClient client(server->LocalPort());
    ASSERT_TRUE(Await([&] { return live == 1; }));
    client.Send("0123456789");
  }
  ASSERT_TRUE(Await([&] { return live == 0; }));
  EXPECT_EQ(reads, (std::vector<int>{4, 4, 2, 0}));
}

// --- Sending and write notification -------------------------------------------------------

TEST(StreamSocket, SendTakesWhatFitsAndPiecesPumpedOnWriteReadyArriveWholeAndInOrder) {
  constexpr int kPiece = 4096;
  const std::string payload = Pattern(16 << 20);
  int live = 0;
  int writes = 0;
  int short_sends = 0;
  std::size_t sent = 0;
  auto pump = [&](TStreamSocket& c) {
    // As a stream sender does: piece by piece, resuming at the first byte not taken.
    while (sent < payload.size()) {
      const int want = static_cast<int>(std::min<std::size_t>(kPiece, payload.size() - sent));
      const int n = c.Send(payload.data() + sent, want);
      ASSERT_GE(n, 0);
      ASSERT_LE(n, want);
      sent += static_cast<std::size_t>(n);
      if (n < want) {
        ++short_sends;
        return;
      }
    }
    c.Close();
  };
  auto server = Listening(
      live,
      [&](TBasicServerSocket& s) {
        s.OnRead = [&](TComponent*, TStreamSocket* c) {
          char request[16];
          if (c->Recv(request, sizeof request) > 0) {
            EXPECT_EQ(SelectWrite(*c), 0);
          }
        };
        s.OnWrite = [&](TComponent*, TStreamSocket* c) {
          ++writes;
          pump(*c);
        };
      },
      64 * 1024);
  RawClient client(server->LocalPort(), 64 * 1024);
  client.Send("GET");

  // The peer reads nothing yet: the socket fills, and the notifications stop once nothing fits
  // any more (room freed by acknowledgements alone is reported too, so a few may come first).
  ASSERT_TRUE(Await([&] { return short_sends > 0; }));
  bool settled = false;
  for (int round = 0; round < 10 && !settled; ++round) {
    const int before = writes;
    RunFor(300ms);
    settled = writes == before;
  }
  EXPECT_TRUE(settled) << "write-ready keeps coming while nothing fits";
  EXPECT_LT(sent, payload.size());
  EXPECT_TRUE(client.received.empty());

  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }, 30s));
  EXPECT_EQ(sent, payload.size());
  ASSERT_EQ(client.received.size(), payload.size());
  EXPECT_TRUE(client.received == payload);
  EXPECT_GT(short_sends, 2) << "the socket took the payload over several notifications";
  EXPECT_EQ(writes, short_sends + 1) << "one write-ready at the switch, then one per short send";
  EXPECT_TRUE(Await([&] { return live == 0; }));
}

// Queued sending, as the server answers: a heading, then a file from where it stands, going on
// by itself across a slow reader; a second stream waits its turn with the caller; the
// connection closes after the last byte.
TEST(StreamSocket, QueuedHeadingAndFileLeaveWholeThenTheConnectionCloses) {
  quorvin::testing::TempDir dir;
  const std::string content = Pattern(8 << 20);
  const std::string path = dir.Write("f.bin", content).string();
  constexpr std::int64_t kStart = 5;
  const std::string heading = "HTTP/1.0 200 OK\r\n\r\n";
  int live = 0;
  bool second_refused = false;
  const platform::TStream* pending = nullptr;
  auto server = Listening(
      live,
      [&](TBasicServerSocket& s) {
        s.OnRead = [&](TComponent*, TStreamSocket* c) {
          char request[16];
          if (c->Recv(request, sizeof request) <= 0) return;
          EXPECT_TRUE(c->SendQueued(heading.data(), static_cast<int>(heading.size())));
          std::unique_ptr<platform::TStream> file =
              std::make_unique<platform::TFileStream>(path, platform::fmOpenRead);
          file->SetPosition(kStart);
          EXPECT_TRUE(c->SendStreamQueued(file, true));
          EXPECT_EQ(file, nullptr) << "taken";
          pending = c->QueuedStream();
          std::unique_ptr<platform::TStream> second = std::make_unique<platform::TMemoryStream>();
          second_refused = !c->SendStreamQueued(second, false) && second != nullptr;
        };
      },
      64 * 1024);
  RawClient client(server->LocalPort(), 64 * 1024);
  client.Send("GET");
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }, 30s));
  EXPECT_NE(pending, nullptr);
  EXPECT_TRUE(second_refused) << "a second stream is refused and stays with the caller";
  ASSERT_EQ(client.received.size(), heading.size() + content.size() - kStart);
  EXPECT_TRUE(client.received == heading + content.substr(kStart));
  EXPECT_TRUE(Await([&] { return live == 0; }));
}

TEST(WriteNotification, StopsDataArrivedAndComesOnceWhileIdleThenThePeersResetEndsIt) {
  int live = 0;
  int reads = 0;
  int writes = 0;
  std::vector<std::string> ends;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnRead = [&](TComponent*, TStreamSocket* c) {
      ++reads;
      char buffer[16];
      c->Recv(buffer, sizeof buffer);
      EXPECT_EQ(SelectWrite(*c, CM_SOCKETMESSAGE), -1) << "another layer's message";
      EXPECT_EQ(SelectWrite(*c), 0);
    };
    s.OnWrite = [&](TComponent*, TStreamSocket*) { ++writes; };
    s.OnError = [&](TComponent*, TStreamSocket*, TSockErrorOp op, int code) {
      EXPECT_EQ(op, TSockErrorOp::opReceive);
      EXPECT_TRUE(code == ECONNRESET || code == EPIPE) << code;
      ends.push_back("Error");
    };
    s.OnDisconnect = [&](TComponent*, TStreamSocket*) { ends.push_back("Disconnect"); };
  });
  RawClient client(server->LocalPort());
  client.Send("request");
  ASSERT_TRUE(Await([&] { return writes == 1; }));
  client.Send("more data, never read");
  RunFor(150ms);
  EXPECT_EQ(writes, 1) << "nothing sent: exactly one write-ready";
  EXPECT_EQ(reads, 1) << "no data-arrived events after the switch";

  client.Reset();
  ASSERT_TRUE(Await([&] { return live == 0; }));
  EXPECT_EQ(ends, (std::vector<std::string>{"Error", "Disconnect"}));
}

// A connection that answered and waits for the peer's next request selects data-arrived again:
// what came meanwhile is reported at once, and what comes later when it comes.
TEST(WriteNotification, ReadSelectedAgainReportsWhatArrivedMeanwhileAndLater) {
  int live = 0;
  std::string got;
  int writes = 0;
  TStreamSocket* held = nullptr;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnRead = [&](TComponent*, TStreamSocket* c) {
      char buffer[64];
      const int n = c->Recv(buffer, sizeof buffer);
      if (n <= 0) return;
      got.append(buffer, static_cast<std::size_t>(n));
      EXPECT_EQ(SelectWrite(*c), 0);
    };
    s.OnWrite = [&](TComponent*, TStreamSocket* c) {
      ++writes;
      held = c;
    };
  });
  RawClient client(server->LocalPort());
  client.Send("one");
  ASSERT_TRUE(Await([&] { return writes == 1; }));
  client.Send("two");  // arrives while only write readiness is selected
  RunFor(50ms);
  EXPECT_EQ(got, "one");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(WSAAsyncSelect(held->SocketHandle(), held->Owner()->GetHandle(), DW_SOCKETMESSAGE,
                           FD_READ | FD_CLOSE),
            0);
  EXPECT_TRUE(Await([&] { return got == "onetwo"; }));
  ASSERT_TRUE(Await([&] { return writes == 2; }));
  EXPECT_EQ(WSAAsyncSelect(held->SocketHandle(), held->Owner()->GetHandle(), DW_SOCKETMESSAGE,
                           FD_READ | FD_CLOSE),
            0);
  client.Send("three");  // arrives while data-arrived is selected and nothing was waiting
  EXPECT_TRUE(Await([&] { return got == "onetwothree"; }));
}

TEST(WriteNotification, ThePeersOrderlyCloseEndsAnIdleConnection) {
  int live = 0;
  int disconnects = 0;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnAccept = [&](TComponent*, TStreamSocket* c) { SelectWrite(*c); };
    s.OnDisconnect = [&](TComponent*, TStreamSocket*) { ++disconnects; };
  });
  {
    RawClient client(server->LocalPort());
    ASSERT_TRUE(Await([&] { return live == 1; }));
  }
  ASSERT_TRUE(Await([&] { return live == 0; }));
  EXPECT_EQ(disconnects, 1);
}

// --- Connection life ----------------------------------------------------------------------

TEST(StreamSocket, ClosedInsideItsEventIsDestroyedAfterTheEvent) {
  std::vector<std::string> journal;

  class Journaled final : public TStreamSocket {
   public:
    Journaled(TSocket handle, TCustomBasicServerSocket* owner, std::vector<std::string>& journal)
        : TStreamSocket(handle, owner), journal_(journal) {}

    ~Journaled() override { journal_.push_back("destroyed"); }

   private:
    std::vector<std::string>& journal_;
  };

  TBasicServerSocket server(nullptr);
  server.OnRead = [&](TComponent*, TStreamSocket* c) {
    char buffer[16];
    c->Recv(buffer, sizeof buffer);
    c->Close();
    journal.push_back("closed");
    EXPECT_FALSE(c->GetConnected());
    EXPECT_EQ(c->Send("x", 1), -1) << "a closed connection sends nothing";
    journal.push_back("read handled");
  };
  server.OnDisconnect = [&](TComponent*, TStreamSocket*) { journal.push_back("disconnect"); };
  server.Listen([&](TCustomBasicServerSocket& owner, TSocket handle) {
    return std::make_unique<Journaled>(handle, &owner, journal);
  });
  RawClient client(server.LocalPort());
  client.Send("x");
  ASSERT_TRUE(Await([&] { return !journal.empty() && journal.back() == "destroyed"; }));
  EXPECT_EQ(server.ConnectionCount(), 0);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"disconnect", "closed", "read handled", "destroyed"}));
  EXPECT_TRUE(Await([&] { return client.ReadAvailable(); })) << "the client sees the close";
}

TEST(BasicServerSocket, CloseAndDestructionEndEveryConnection) {
  int live = 0;
  int disconnects = 0;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnDisconnect = [&](TComponent*, TStreamSocket*) { ++disconnects; };
  });
  RawClient a(server->LocalPort());
  RawClient b(server->LocalPort());
  ASSERT_TRUE(Await([&] { return live == 2; }));
  server->Close();
  EXPECT_FALSE(server->Listening());
  EXPECT_EQ(live, 0);
  EXPECT_EQ(disconnects, 2);
  EXPECT_TRUE(Await([&] { return a.ReadAvailable() && b.ReadAvailable(); }));

  server->Listen<TStreamSocket>();  // listens again, with plain connections
  RawClient c(server->LocalPort());
  ASSERT_TRUE(Await([&] { return server->ConnectionCount() == 1; }));
  server.reset();
  EXPECT_TRUE(Await([&] { return c.ReadAvailable(); }));
}

TEST(BasicServerSocket, ClosedFromInsideAConnectionsEventDestroysThatOneAfterIt) {
  int live = 0;
  auto server = Listening(live);
  server->OnRead = [&](TComponent*, TStreamSocket* c) {
    server->Close();
    EXPECT_FALSE(c->GetConnected());
    EXPECT_EQ(live, 1) << "the connection in its event is still there";
  };
  RawClient a(server->LocalPort());
  RawClient b(server->LocalPort());
  ASSERT_TRUE(Await([&] { return live == 2; }));
  a.Send("x");
  ASSERT_TRUE(Await([&] { return live == 0; }));
}

TEST(BasicServerSocket, AFactoryThatMakesNothingTurnsTheClientAway) {
  TBasicServerSocket server(nullptr);
  int offers = 0;
  server.Listen([&](TCustomBasicServerSocket&, TSocket) -> std::unique_ptr<TStreamSocket> {
    ++offers;
    if (offers == 2) throw std::runtime_error("no connection for you");
    return nullptr;
  });
  quorvin::testing::MessageCapture messages;
  RawClient first(server.LocalPort());
  ASSERT_TRUE(Await([&] { return first.ReadAvailable(); }));
  RawClient second(server.LocalPort());
  ASSERT_TRUE(Await([&] { return second.ReadAvailable(); }));
  EXPECT_EQ(offers, 2);
  EXPECT_EQ(server.ConnectionCount(), 0);
  EXPECT_EQ(messages.Shown().size(), 1u) << "the factory's exception is shown";
}

TEST(BasicServerSocket, ListenOnAPortInUseRaises) {
  TBasicServerSocket first(nullptr);
  first.Listen<TStreamSocket>();
  TBasicServerSocket second(nullptr);
  second.SetPort(std::to_string(first.LocalPort()));
  try {
    second.Listen<TStreamSocket>();
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), EADDRINUSE);
  }
  EXPECT_FALSE(second.Listening());
}

TEST(SockCtrl, SetPortTakesDecimalTextOnly) {
  struct Case {
    const char* text;
    int port;  // -1: refused
  };

  for (const Case& c : {Case{"8080", 8080}, Case{" 80 ", 80}, Case{"0", 0}, Case{"65535", 65535},
                        Case{"65536", -1}, Case{"", -1}, Case{"http", -1}, Case{"-1", -1},
                        Case{"+80", -1}, Case{"0x50", -1}, Case{"80a", -1}}) {
    SCOPED_TRACE(c.text);
    TBasicServerSocket server(nullptr);
    server.SetPort("7");
    if (c.port < 0) {
      EXPECT_THROW(server.SetPort(c.text), ESocketError);
      EXPECT_EQ(server.Port(), 7);
    } else {
      server.SetPort(c.text);
      EXPECT_EQ(server.Port(), c.port);
    }
  }
}

TEST(DwinsockLayer, LocalHostIsTheMachineName) {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  EXPECT_EQ(LocalHost(), name);
}

// --- The client component -----------------------------------------------------------------

// A connection class of the program's own, as the HTTP client's.
class TaggedConnection final : public TStreamSocket {
 public:
  using TStreamSocket::TStreamSocket;
  std::string received;
};

class TaggedClient final : public TBasicClientSocket {
 public:
  using TBasicClientSocket::TBasicClientSocket;
  std::vector<std::string> seen;  // what the subclass hook saw

 protected:
  std::unique_ptr<TStreamSocket> CreateConnection(TSocket handle) override {
    return std::make_unique<TaggedConnection>(handle, nullptr);
  }

  void ConnectionEvent(TStreamSocket*, TSockEvent event) override {
    if (event == TSockEvent::seConnect) seen.push_back("Connect");
    if (event == TSockEvent::seDisconnect) seen.push_back("Disconnect");
  }
};

struct ClientCase {
  const char* name;
  std::string address, host;
};

class BasicClientSocketConnecting : public ::testing::TestWithParam<ClientCase> {};

TEST_P(BasicClientSocketConnecting, ReceivesThroughItsOwnConnectionClass) {
  int live = 0;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnRead = [&](TComponent*, TStreamSocket* c) {
      char buffer[64];
      const int n = c->Recv(buffer, sizeof buffer);
      if (n > 0) c->Send(buffer, n);
    };
  });

  TaggedClient client(nullptr);
  client.Address = GetParam().address;
  client.Host = GetParam().host;
  client.SetPort(std::to_string(server->LocalPort()));
  std::vector<std::string> events;
  TaggedConnection* connection = nullptr;
  client.OnConnect = [&](TComponent* sender, TStreamSocket* c) {
    EXPECT_EQ(sender, &client);
    connection = dynamic_cast<TaggedConnection*>(c);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(c, client.Connection());
    EXPECT_EQ(c->Owner(), nullptr);
    events.push_back("Connect");
    EXPECT_EQ(c->Send("echo me", 7), 7);
  };
  client.OnWrite = [&](TComponent*, TStreamSocket*) { events.push_back("Write"); };
  client.OnRead = [&](TComponent*, TStreamSocket* c) {
    char buffer[64];
    const int n = c->Recv(buffer, sizeof buffer);
    if (n > 0)
      static_cast<TaggedConnection*>(c)->received.append(buffer, static_cast<std::size_t>(n));
  };
  client.OnDisconnect = [&](TComponent*, TStreamSocket*) { events.push_back("Disconnect"); };
  client.Open();
  EXPECT_TRUE(client.Active());

  ASSERT_TRUE(Await([&] { return connection != nullptr && connection->received == "echo me"; }));
  EXPECT_EQ(connection->RemotePort(), server->LocalPort());
  client.Close();
  EXPECT_FALSE(client.Active());
  EXPECT_FALSE(connection->GetConnected());

  ASSERT_TRUE(Await([&] { return live == 0; }));
  EXPECT_EQ(events, (std::vector<std::string>{"Connect", "Write", "Disconnect"}));
  EXPECT_EQ(client.seen, (std::vector<std::string>{"Connect", "Disconnect"}));

  connection = nullptr;
  client.Open();  // again, with a new connection object
  ASSERT_TRUE(Await([&] { return connection != nullptr && connection->received == "echo me"; }));
  EXPECT_EQ(client.Connection(), connection);
  EXPECT_TRUE(connection->GetConnected());
}

INSTANTIATE_TEST_SUITE_P(, BasicClientSocketConnecting,
                         ::testing::Values(ClientCase{"NumericAddress", "127.0.0.1", ""},
                                           ClientCase{"NumericHost", "", "127.0.0.1"},
                                           ClientCase{"LocalhostFromTheHostsFile", "",
                                                      "localhost"}),
                         ByName());

TEST(BasicClientSocket, ThePeersCloseEndsTheConnectionAndLeavesItInactive) {
  int live = 0;
  auto server = Listening(live, [&](TBasicServerSocket& s) {
    s.OnAccept = [&](TComponent*, TStreamSocket* c) { c->Close(); };
  });
  TBasicClientSocket client(nullptr);
  client.Address = "127.0.0.1";
  client.SetPort(std::to_string(server->LocalPort()));
  int disconnects = 0;
  client.OnDisconnect = [&](TComponent*, TStreamSocket*) { ++disconnects; };
  client.OnRead = [&](TComponent*, TStreamSocket* c) {
    char buffer[16];
    c->Recv(buffer, sizeof buffer);
  };
  client.Open();
  ASSERT_TRUE(Await([&] { return disconnects == 1; }));
  EXPECT_FALSE(client.Active());
  ASSERT_NE(client.Connection(), nullptr) << "kept until the next Open";
  EXPECT_FALSE(client.Connection()->GetConnected());
}

TEST(BasicClientSocket, ConnectAndLookupFailuresReachOnErrorAndLeaveItInactive) {
  int free_port = 0;
  {
    TBasicServerSocket probe(nullptr);
    probe.Listen<TStreamSocket>();
    free_port = probe.LocalPort();
  }

  struct Case {
    std::string address, host;
    TSockErrorOp op;
    int code;
    bool has_connection;
  };

  for (const Case& c :
       {Case{"127.0.0.1", "", TSockErrorOp::opConnect, ECONNREFUSED, true},
        Case{"not-an-address", "", TSockErrorOp::opLookup, EINVAL, false},
        Case{"", "no-such-host.invalid", TSockErrorOp::opLookup, WSAHOST_NOT_FOUND, false}}) {
    SCOPED_TRACE(c.address + c.host);
    TBasicClientSocket client(nullptr);
    client.Address = c.address;
    client.Host = c.host;
    client.SetPort(std::to_string(free_port));
    std::vector<std::pair<TSockErrorOp, int>> errors;
    bool disconnected = false;
    bool had_connection = false;
    client.OnError = [&](TComponent*, TStreamSocket* connection, TSockErrorOp op, int code) {
      errors.emplace_back(op, code);
      had_connection = connection != nullptr;
      EXPECT_FALSE(client.Active()) << "inactive before the handler, which may open again";
    };
    client.OnDisconnect = [&](TComponent*, TStreamSocket*) { disconnected = true; };
    client.Open();
    ASSERT_TRUE(Await([&] { return !errors.empty(); }, 5s));
    EXPECT_EQ(errors, (std::vector<std::pair<TSockErrorOp, int>>{{c.op, c.code}}));
    EXPECT_EQ(had_connection, c.has_connection);
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(disconnected);
  }
}

TEST(BasicClientSocket, OpeningWithoutHostOrPortRaises) {
  TBasicClientSocket client(nullptr);
  client.SetPort("80");
  EXPECT_THROW(client.Open(), ESocketError);
  client.Host = "localhost";
  client.SetPort("0");
  EXPECT_THROW(client.Open(), ESocketError);
  EXPECT_FALSE(client.Active());
}

TEST(BasicClientSocket, PublishesItsPropertiesInOrder) {
  std::vector<std::string> names;
  for (const auto& property : TBasicClientSocket::Class().properties)
    names.push_back(property.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Active", "Address", "Host", "Port", "OnConnect",
                                             "OnDisconnect", "OnRead", "OnWrite", "OnError"}));
  TBasicClientSocket client(nullptr);
  EXPECT_EQ(client.ClassName(), "TBasicClientSocket");
}

// A socket the program hands over may be a blocking one: the layer switches it, or one receive
// would stall every other connection.
TEST(StreamSocket, MakesAHandedOverSocketNonBlocking) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  {
    TStreamSocket socket(pair[0], nullptr);
    EXPECT_NE(::fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
  }
  ::close(pair[1]);
}

}  // namespace
}  // namespace quorvin::net
