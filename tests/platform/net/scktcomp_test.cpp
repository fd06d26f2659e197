#include "quorvin/platform/net/scktcomp.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/net/shared_listen_socket.h"

#include "loop_client.h"
#include "test_support.h"

namespace quorvin::net {
namespace {

using namespace testkit;

// A connection that counts itself, as the server's connections do.
class CountedConnection : public TServerClientWinSocket {
 public:
  CountedConnection(TSocket socket, TServerWinSocket* server, int& live)
      : TServerClientWinSocket(socket, server), live_(live) {
    ++live_;
  }

  ~CountedConnection() override { --live_; }

 private:
  int& live_;
};

std::unique_ptr<TServerSocket> OpenServer(
    const std::function<void(TServerSocket&)>& setup = nullptr) {
  auto server = std::make_unique<TServerSocket>(nullptr);
  server->SetPort(0);
  if (setup) setup(*server);
  server->Open();
  return server;
}

const char* EventName(TSocketEvent event) {
  switch (event) {
    case TSocketEvent::seLookup:
      return "Lookup";
    case TSocketEvent::seConnecting:
      return "Connecting";
    case TSocketEvent::seConnect:
      return "Connect";
    case TSocketEvent::seDisconnect:
      return "Disconnect";
    case TSocketEvent::seListen:
      return "Listen";
    case TSocketEvent::seAccept:
      return "Accept";
    case TSocketEvent::seWrite:
      return "Write";
    case TSocketEvent::seRead:
      return "Read";
  }
  return "?";
}

// --- A listener and a client exchanging data ----------------------------------------------

struct NamingCase {
  const char* name;
  std::string address, host;
};

class ClientServerExchange : public ::testing::TestWithParam<NamingCase> {};

TEST_P(ClientServerExchange, DataGoesBothWaysThroughTheEvents) {
  std::vector<std::string> server_events;
  auto server = OpenServer([&](TServerSocket& s) {
    s.OnClientConnect = [&](TComponent*, TCustomWinSocket*) { server_events.push_back("Connect"); };
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      server_events.push_back("Read");
      char buffer[100];
      const int n = socket->ReceiveBuf(buffer, sizeof buffer);
      if (n > 0) {
        std::string answer(buffer, static_cast<std::size_t>(n));
        for (char& c : answer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        socket->SendText(answer);
      }
    };
    s.OnClientDisconnect = [&](TComponent*, TCustomWinSocket*) {
      server_events.push_back("Disconnect");
    };
  });

  TClientSocket client(nullptr);
  client.Address = GetParam().address;
  client.Host = GetParam().host;
  client.Port = server->LocalPort();
  std::vector<std::string> client_events;
  std::string received;
  auto note = [&](const char* what) {
    return [&, what](TComponent*, TCustomWinSocket*) { client_events.push_back(what); };
  };
  client.OnLookup = note("Lookup");
  client.OnConnecting = note("Connecting");
  client.OnConnect = [&](TComponent*, TCustomWinSocket* socket) {
    client_events.push_back("Connect");
    socket->SendText("hello");
  };
  client.OnWrite = note("Write");
  client.OnRead = [&](TComponent*, TCustomWinSocket* socket) {
    char buffer[100];
    const int n = socket->ReceiveBuf(buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  };
  client.OnDisconnect = note("Disconnect");
  client.SetActive(true);
  EXPECT_TRUE(client.Active());

  ASSERT_TRUE(Await([&] { return received == "HELLO"; }));
  EXPECT_EQ(client.Socket().RemotePort(), server->LocalPort());
  EXPECT_EQ(client.Socket().RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(server->Socket().ActiveConnections(), 1);
  client.Close();
  EXPECT_FALSE(client.Active());
  ASSERT_TRUE(Await([&] { return server->Socket().ActiveConnections() == 0; }));

  EXPECT_EQ(client_events,
            (std::vector<std::string>{"Lookup", "Connecting", "Connect", "Write", "Disconnect"}));
  // The end of the data is read like data (ReceiveBuf gives 0), then the connection ends.
  EXPECT_EQ(server_events, (std::vector<std::string>{"Connect", "Read", "Read", "Disconnect"}));
}

INSTANTIATE_TEST_SUITE_P(, ClientServerExchange,
                         ::testing::Values(NamingCase{"NumericAddress", "127.0.0.1", ""},
                                           NamingCase{"NumericHost", "", "127.0.0.1"},
                                           NamingCase{"HostNameFromTheHostsFile", "",
                                                      "localhost"}),
                         ByName());

TEST(ClientSocket, ConnectAndLookupFailuresReachOnErrorAndLeaveItInactive) {
  int free_port = 0;
  {
    auto probe = OpenServer();
    free_port = probe->LocalPort();
  }

  struct Case {
    std::string address;
    int port;
    TErrorEvent error;
    int code;
  };

  for (const Case& c : {Case{"127.0.0.1", free_port, TErrorEvent::eeConnect, ECONNREFUSED},
                        Case{"not-an-address", 80, TErrorEvent::eeLookup, EINVAL}}) {
    SCOPED_TRACE(c.address);
    TClientSocket client(nullptr);
    client.Address = c.address;
    client.Port = c.port;
    std::vector<std::pair<TErrorEvent, int>> errors;
    bool disconnected = false;
    client.OnError = [&](TComponent*, TCustomWinSocket*, TErrorEvent error, int& code) {
      errors.emplace_back(error, code);  // the code is left set: the layer raises nothing
    };
    client.OnDisconnect = [&](TComponent*, TCustomWinSocket*) { disconnected = true; };
    client.Open();
    ASSERT_TRUE(Await([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, (std::vector<std::pair<TErrorEvent, int>>{{c.error, c.code}}));
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(disconnected);
  }
}

TEST(ClientSocket, OpeningWithoutHostOrPortRaises) {
  TClientSocket client(nullptr);
  client.Port = 80;
  EXPECT_THROW(client.Open(), ESocketError);
  client.Host = "localhost";
  client.Port = 0;
  EXPECT_THROW(client.Open(), ESocketError);
  EXPECT_FALSE(client.Active());
}

TEST(ClientSocket, PublishesItsPropertiesInOrder) {
  std::vector<std::string> names;
  for (const auto& property : TClientSocket::Class().properties) names.push_back(property.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Active", "Address", "ClientType", "Host", "Port",
                                             "Service", "OnLookup", "OnConnecting", "OnConnect",
                                             "OnDisconnect", "OnRead", "OnWrite", "OnError"}));
}

// --- Sending ------------------------------------------------------------------------------

TEST(SendBuf, MoreThanTheSocketTakesArrivesWholeAndInOrderBeforeTheClose) {
  const std::string payload = Pattern(8 << 20);
  int live = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 64 * 1024);  // the queue has to do the work
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientConnect = [&](TComponent*, TCustomWinSocket* socket) {
      // In pieces, so that later pieces queue behind earlier ones.
      for (std::size_t at = 0; at < payload.size(); at += 1 << 20) {
        ASSERT_EQ(socket->SendBuf(payload.data() + at, 1 << 20), 1 << 20);
      }
      socket->Close();
    };
  });
  RawClient client(server->LocalPort(), 64 * 1024);
  ASSERT_TRUE(client.Connected());
  RunFor(200ms);  // the peer does not read yet: the output waits in the layer
  EXPECT_EQ(live, 0) << "a closed connection is destroyed while its output drains";
  EXPECT_TRUE(client.received.empty());
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }));
  EXPECT_EQ(client.received.size(), payload.size());
  EXPECT_TRUE(client.received == payload);
}

// A stream that is neither a file nor memory, and tells when it is released.
class CountingStream final : public platform::TStream {
 public:
  CountingStream(std::string bytes, int& released)
      : bytes_(std::move(bytes)), released_(released) {}

  ~CountingStream() override { ++released_; }

  std::int64_t Read(void* buffer, std::int64_t count) override {
    return memory_.Read(buffer, count);
  }

  std::int64_t Write(const void*, std::int64_t) override { return 0; }

  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    if (memory_.Size() == 0) memory_.WriteText(bytes_);
    return memory_.Seek(offset, origin);
  }

  void SetSize(std::int64_t) override {}

 private:
  std::string bytes_;
  platform::TMemoryStream memory_;
  int& released_;
};

enum class StreamKind { kFile, kMemory, kOther };
constexpr std::int64_t kStart = 3;  // streams are handed over positioned here

struct StreamCase {
  const char* name;
  StreamKind kind;
  std::size_t size;
  std::string heading;  // sent with SendBuf just before the stream
};

class SendStreamThenDrop : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SendStreamThenDrop, SendsFromThePositionAfterTheHeadingThenCloses) {
  const StreamCase& c = GetParam();
  quorvin::testing::TempDir dir;
  const std::string content = Pattern(c.size);
  int released = 0;
  auto make_stream = [&]() -> std::unique_ptr<platform::TStream> {
    std::unique_ptr<platform::TStream> stream;
    switch (c.kind) {
      case StreamKind::kFile:
        stream = std::make_unique<platform::TFileStream>(
            dir.Write("f.bin", content).string(),
            platform::fmOpenRead | platform::fmShareDenyWrite);
        break;
      case StreamKind::kMemory: {
        auto memory = std::make_unique<platform::TMemoryStream>();
        memory->WriteText(content);
        stream = std::move(memory);
        break;
      }
      case StreamKind::kOther:
        stream = std::make_unique<CountingStream>(content, released);
        break;
    }
    stream->SetPosition(kStart);
    return stream;
  };
  bool second_refused = false;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 64 * 1024);
      client = new TServerClientWinSocket(socket, &s.Socket());
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      char request[64];
      if (socket->ReceiveBuf(request, sizeof request) <= 0) return;
      socket->SendText(c.heading);
      EXPECT_TRUE(socket->SendStreamThenDrop(make_stream()));
      auto second = make_stream();
      second_refused = !socket->SendStream(std::move(second)) && second != nullptr;
    };
  });
  RawClient client(server->LocalPort(), 64 * 1024);
  client.Send("GET");
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }, 30s));
  EXPECT_TRUE(second_refused) << "a second stream is refused and stays with the caller";
  ASSERT_EQ(client.received.size(), c.heading.size() + content.size() - kStart);
  EXPECT_TRUE(client.received == c.heading + content.substr(kStart));
  ASSERT_TRUE(Await([&] { return server->Socket().ActiveConnections() == 0; }));
  if (c.kind == StreamKind::kOther) {
    EXPECT_EQ(released, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , SendStreamThenDrop,
    ::testing::Values(
        StreamCase{"LargeFile", StreamKind::kFile, 10 << 20, ""},
        StreamCase{"HeadingThenLargeFile", StreamKind::kFile, 10 << 20, "HTTP/1.0 200 OK\r\n\r\n"},
        StreamCase{"HeadingThenSmallFile", StreamKind::kFile, 1024, "HTTP/1.0 200 OK\r\n\r\n"},
        StreamCase{"HeadingThenEmptyFile", StreamKind::kFile, kStart, "HTTP/1.0 200 OK\r\n\r\n"},
        StreamCase{"HeadingThenMemory", StreamKind::kMemory, 3 << 20, "heading\r\n"},
        StreamCase{"HeadingThenOtherStream", StreamKind::kOther, 3 << 20, "heading\r\n"}),
    ByName());

TEST(SendStream, KeepsTheConnectionOpenAndLaterBytesFollowTheStream) {
  auto server = OpenServer([&](TServerSocket& s) {
    s.OnClientConnect = [&](TComponent*, TCustomWinSocket* socket) {
      auto stream = std::make_unique<platform::TMemoryStream>();
      stream->WriteText("middle ");
      stream->SetPosition(0);
      socket->SendText("first ");
      EXPECT_TRUE(socket->SendStream(std::move(stream)));
      socket->SendText("last");
    };
  });
  RawClient client(server->LocalPort());
  ASSERT_TRUE(Await([&] {
    client.ReadAvailable();
    return client.received == "first middle last";
  }));
  EXPECT_FALSE(client.ReadAvailable()) << "still open";
  server->Close();
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }));
}

TEST(CloseWhileSending, CutsAStreamOffAtOnce) {
  quorvin::testing::TempDir dir;
  const std::string content = Pattern(16 << 20);
  const std::string path = dir.Write("big.bin", content).string();
  int live = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 64 * 1024);
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientConnect = [&](TComponent*, TCustomWinSocket* socket) {
      socket->SendStreamThenDrop(std::make_unique<platform::TFileStream>(path, platform::fmOpenRead));
    };
  });
  RawClient client(server->LocalPort(), 64 * 1024);
  ASSERT_TRUE(Await([&] { return live == 1; }));
  RunFor(50ms);  // the client reads nothing: the stream waits
  server->Socket().Connections(0)->Close();  // as a lifetime timer does
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }));
  EXPECT_LT(client.received.size(), content.size());
  EXPECT_TRUE(content.compare(0, client.received.size(), client.received) == 0);
  EXPECT_TRUE(Await([&] { return live == 0; })) << "destroyed from the loop";
}

TEST(CloseWhileSending, UnreadInputDoesNotResetTheAnswerAway) {
  // The whole answer fits in the server's send buffer, so the socket closes at once, while
  // most of the answer still waits there for the client's small window.
  const std::string answer = Pattern(128 << 10);
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 1 << 20);
      client = new TServerClientWinSocket(socket, &s.Socket());
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      char request[4];  // the rest of what the client sent is never read
      if (socket->ReceiveBuf(request, sizeof request) <= 0) return;
      socket->SendBuf(answer.data(), static_cast<int>(answer.size()));
      socket->Close();
    };
  });
  RawClient client(server->LocalPort(), 4096);
  client.Send("GET / and a body that nobody reads");
  RunFor(100ms);
  ASSERT_TRUE(Await([&] { return client.ReadAvailable(); }));
  EXPECT_EQ(client.received.size(), answer.size());
  EXPECT_TRUE(client.received == answer);
}

// --- Connection life ----------------------------------------------------------------------

TEST(ServerConnection, ClosedInsideItsEventIsDestroyedAfterTheEvent) {
  std::vector<std::string> journal;

  // Chains to the layer's own handler after closing, as the server's connection does.
  class Chaining final : public TServerClientWinSocket {
   public:
    Chaining(TSocket socket, TServerWinSocket* server, std::vector<std::string>& journal)
        : TServerClientWinSocket(socket, server), journal_(journal) {
      layer_handler_ = OnSocketEvent;
      OnSocketEvent = [this](TCustomWinSocket* sender, TCustomWinSocket* s, TSocketEvent event) {
        if (event == TSocketEvent::seRead) {
          char buffer[16];
          ReceiveBuf(buffer, sizeof buffer);
          Close();
          journal_.push_back("closed");
        }
        layer_handler_(sender, s, event);
        journal_.push_back(std::string(EventName(event)) + " handled");
      };
    }

    ~Chaining() override { journal_.push_back("destroyed"); }

   private:
    TSocketEventHandler layer_handler_;
    std::vector<std::string>& journal_;
  };

  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      client = new Chaining(socket, &s.Socket(), journal);
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket*) { journal.push_back("listener read"); };
    s.OnClientDisconnect = [&](TComponent*, TCustomWinSocket*) {
      journal.push_back("listener disconnect");
    };
  });
  RawClient client(server->LocalPort());
  client.Send("x");
  ASSERT_TRUE(Await([&] { return !journal.empty() && journal.back() == "destroyed"; }));
  EXPECT_EQ(server->Socket().ActiveConnections(), 0);
  EXPECT_EQ(journal, (std::vector<std::string>{"Connect handled", "listener disconnect",
                                               "Disconnect handled", "closed", "listener read",
                                               "Read handled", "destroyed"}));
  EXPECT_TRUE(Await([&] { return client.ReadAvailable(); })) << "the client sees the close";
}

TEST(ServerConnection, PeerCloseEndsTheConnection) {
  std::vector<int> reads;
  int live = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      char buffer[4];  // smaller than what arrives: the layer must come back for the rest
      reads.push_back(socket->ReceiveBuf(buffer, sizeof buffer));
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

TEST(ServerSocket, DeclinedClientWaitsAndIsServedWhenASlotFrees) {
  int live = 0;
  int offers = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      ++offers;
      if (live < 1) client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      char buffer[16];
      const int n = socket->ReceiveBuf(buffer, sizeof buffer);
      if (n > 0) socket->SendBuf(buffer, n);
    };
  });
  RawClient first(server->LocalPort());
  ASSERT_TRUE(Await([&] { return live == 1; }));
  RawClient second(server->LocalPort());
  RawClient third(server->LocalPort());
  second.Send("two");
  third.Send("three");
  RunFor(100ms);
  EXPECT_EQ(offers, 2) << "nothing more is accepted while a client waits";
  EXPECT_FALSE(second.ReadAvailable()) << "the waiting client is not closed";
  EXPECT_TRUE(second.received.empty());

  first.Finish();
  ASSERT_TRUE(Await([&] {
    second.ReadAvailable();
    return second.received == "two";
  }));
  EXPECT_EQ(live, 1);
  EXPECT_TRUE(third.received.empty());
  second.Finish();
  ASSERT_TRUE(Await([&] {
    third.ReadAvailable();
    return third.received == "three";
  }));
}

TEST(ServerSocket, CloseEndsAndDestroysEveryConnection) {
  int live = 0;
  int disconnects = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientDisconnect = [&](TComponent*, TCustomWinSocket*) { ++disconnects; };
  });
  RawClient a(server->LocalPort());
  RawClient b(server->LocalPort());
  ASSERT_TRUE(Await([&] { return live == 2; }));
  server->Close();
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(live, 0);
  EXPECT_EQ(disconnects, 2);
  EXPECT_TRUE(Await([&] { return a.ReadAvailable() && b.ReadAvailable(); }));

  server->Open();  // listens again
  RawClient c(server->LocalPort());
  ASSERT_TRUE(Await([&] { return live == 1; }));
  server.reset();
  EXPECT_EQ(live, 0);
}

TEST(ServerSocket, OpenOnAPortInUseRaisesWithThePort) {
  auto first = OpenServer();
  const int port = first->LocalPort();
  ASSERT_GT(port, 0);
  TServerSocket second(nullptr);
  second.SetPort(port);
  try {
    second.Open();
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), EADDRINUSE);
    EXPECT_NE(std::string(e.what()).find(std::to_string(port)), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::strerror(EADDRINUSE)), std::string::npos) << e.what();
  }
  EXPECT_FALSE(second.Active());
}

TEST(ServerSocket, KeepsAcceptingAfterRunningOutOfDescriptors) {
  int live = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      client = new CountedConnection(socket, &s.Socket(), live);
    });
  });

  // A connection served before the table fills: the sanitizers' runtime opens files of its own
  // the first time it checks a kind of call, which it could not do once the table is full.
  {
    RawClient warm(server->LocalPort());
    EXPECT_TRUE(Await([&] { return live == 1; }));
    warm.Reset();
    EXPECT_TRUE(Await([&] { return live == 0; }));
  }

  // Fills the descriptor table but for one, which the client takes: the accept then fails.
  struct Exhaustion {
    Exhaustion() {
      ::getrlimit(RLIMIT_NOFILE, &saved);
      rlimit tight = saved;
      tight.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
      ::setrlimit(RLIMIT_NOFILE, &tight);
      for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
      if (!filler.empty()) {
        ::close(filler.back());
        filler.pop_back();
      }
    }

    ~Exhaustion() { End(); }

    void End() {
      for (const int fd : filler) ::close(fd);
      filler.clear();
      ::setrlimit(RLIMIT_NOFILE, &saved);
    }

    rlimit saved{};
    std::vector<int> filler;
  } exhaustion;

  ASSERT_FALSE(exhaustion.filler.empty());
  RawClient client(server->LocalPort());
  ASSERT_TRUE(client.Connected());
  RunFor(150ms);
  EXPECT_EQ(live, 0);
  exhaustion.End();
  EXPECT_TRUE(Await([&] { return live == 1; }));
}

// --- Errors -------------------------------------------------------------------------------

struct ResetCase {
  const char* name;
  bool clear_code;  // as the server's connection does
  bool sending;     // the reset comes while the server sends
  TErrorEvent expected;
};

class PeerReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(PeerReset, ReachesTheErrorHandlerAndNothingIsThrownOutOfTheLoop) {
  const ResetCase& c = GetParam();
  quorvin::testing::MessageCapture messages;
  std::vector<std::pair<TErrorEvent, int>> errors;
  int live = 0;
  int raised = 0;
  int returned_minus_one = 0;
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 64 * 1024);
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientError = [&](TComponent*, TCustomWinSocket*, TErrorEvent error, int& code) {
      errors.emplace_back(error, code);
      if (c.clear_code) code = 0;
    };
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      char buffer[16];
      try {
        if (socket->ReceiveBuf(buffer, sizeof buffer) == -1) ++returned_minus_one;
      } catch (const ESocketError& e) {
        ++raised;
        throw;  // let the layer catch it
      }
    };
    s.OnClientConnect = [&](TComponent*, TCustomWinSocket* socket) {
      if (!c.sending) return;
      WSAAsyncSelect(socket->SocketHandle(), socket->GetHandle(), CM_SOCKETMESSAGE,
                     FD_WRITE | FD_CLOSE);
      const std::string payload = Pattern(8 << 20);
      socket->SendBuf(payload.data(), static_cast<int>(payload.size()));
    };
  });
  RawClient client(server->LocalPort(), 64 * 1024);
  ASSERT_TRUE(Await([&] { return live == 1; }));
  if (c.sending) {
    ASSERT_TRUE(Await([&] {
      client.ReadAvailable();
      return !client.received.empty();
    }));
  }
  client.Reset();
  ASSERT_TRUE(Await([&] { return live == 0; }));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].first, c.expected);
  EXPECT_TRUE(errors[0].second == ECONNRESET || errors[0].second == EPIPE) << errors[0].second;
  if (!c.sending) {
    EXPECT_EQ(raised, c.clear_code ? 0 : 1);
    EXPECT_EQ(returned_minus_one, c.clear_code ? 1 : 0);
    EXPECT_EQ(messages.Shown().size(), c.clear_code ? 0u : 1u) << "an escaping exception is shown";
  }
}

INSTANTIATE_TEST_SUITE_P(
    , PeerReset,
    ::testing::Values(ResetCase{"WhileReadingCodeCleared", true, false, TErrorEvent::eeReceive},
                      ResetCase{"WhileReadingCodeLeft", false, false, TErrorEvent::eeReceive},
                      ResetCase{"WhileSending", true, true, TErrorEvent::eeSend}),
    ByName());

// --- Write notification -------------------------------------------------------------------

TEST(WriteNotification, ComesOnceAfterTheSwitchAndAgainOnlyAfterOutputHadToWait) {
  int reads = 0;
  int writes = 0;
  int disconnects = 0;
  std::string payload = Pattern(4 << 20);
  auto server = OpenServer([&](TServerSocket& s) {
    s.SetGetSocketEvent([&](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      SetBuffer(socket, SO_SNDBUF, 64 * 1024);
      client = new TServerClientWinSocket(socket, &s.Socket());
    });
    s.OnClientRead = [&](TComponent*, TCustomWinSocket* socket) {
      ++reads;
      char buffer[16];
      socket->ReceiveBuf(buffer, sizeof buffer);
      EXPECT_EQ(
          WSAAsyncSelect(socket->SocketHandle(), socket->GetHandle(), DW_SOCKETMESSAGE, FD_WRITE),
          -1)
          << "another layer's message";
      EXPECT_EQ(WSAAsyncSelect(socket->SocketHandle(), socket->GetHandle(), CM_SOCKETMESSAGE,
                               FD_WRITE | FD_CLOSE),
                0);
    };
    s.OnClientWrite = [&](TComponent*, TCustomWinSocket* socket) {
      if (++writes == 2) socket->SendBuf(payload.data(), static_cast<int>(payload.size()));
    };
    s.OnClientDisconnect = [&](TComponent*, TCustomWinSocket*) { ++disconnects; };
  });
  RawClient client(server->LocalPort(), 64 * 1024);
  client.Send("request");
  ASSERT_TRUE(Await([&] { return writes == 1; }));
  client.Send("more data, never read");
  RunFor(100ms);
  EXPECT_EQ(writes, 1) << "nothing sent: no further write events";
  EXPECT_EQ(reads, 1) << "no data-arrived events after the switch";

  // A second select asks again; output that has to wait earns one more event once it left.
  auto& connection = *server->Socket().Connections(0);
  WSAAsyncSelect(connection.SocketHandle(), connection.GetHandle(), CM_SOCKETMESSAGE,
                 FD_WRITE | FD_CLOSE);
  ASSERT_TRUE(Await([&] { return writes == 2; }));
  ASSERT_TRUE(Await([&] {
    client.ReadAvailable();
    return client.received.size() == payload.size();
  }));
  ASSERT_TRUE(Await([&] { return writes == 3; }));
  RunFor(100ms);
  EXPECT_EQ(writes, 3);

  client.Reset();
  ASSERT_TRUE(Await([&] { return server->Socket().ActiveConnections() == 0; }));
  EXPECT_EQ(disconnects, 1) << "the peer's close is seen while idle in write notification";
}

TEST(CustomWinSocket, LocalHostIsTheMachineName) {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  TClientSocket client(nullptr);
  EXPECT_EQ(client.Socket().LocalHost(), name);
}

// A socket the program hands over may be a blocking one: the layer switches it, or one receive
// would stall every other connection.
TEST(ServerClientWinSocket, MakesAHandedOverSocketNonBlocking) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto socket = std::make_unique<TServerClientWinSocket>(pair[0], nullptr);
  EXPECT_NE(::fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
  char byte = 0;
  EXPECT_EQ(socket->ReceiveBuf(&byte, 1), -1);  // nothing there: no wait
  socket.reset();
  ::close(pair[1]);
}

// Worker processes accept on one socket that outlives each of them: a listener made while it is
// shared takes a copy of it whatever port it is given, and one that stops leaves the clients
// queued on it to the next, none refused or reset.
TEST(ServerSocket, SharedSocketOutlivesItsListenersAndKeepsTheirBacklog) {
  int live = 0;
  const auto echo = [&live](TServerSocket& s) {
    s.SetGetSocketEvent([&live, &s](TServerSocket*, TSocket socket, TServerClientWinSocket*& client) {
      client = new CountedConnection(socket, &s.Socket(), live);
    });
    s.OnClientRead = [](TComponent*, TCustomWinSocket* socket) {
      char buffer[16];
      const int n = socket->ReceiveBuf(buffer, sizeof buffer);
      if (n > 0) socket->SendBuf(buffer, n);
    };
  };
  const auto shared = SharedListenSocket::KeepFirstOpened();
  EXPECT_EQ(shared->Socket(), -1);
  auto first = OpenServer(echo);
  ASSERT_GE(shared->Socket(), 0);
  EXPECT_EQ(::fcntl(shared->Socket(), F_GETFD) & FD_CLOEXEC, 0) << "the workers started by exec inherit it";
  const int port = first->LocalPort();
  first.reset();

  RawClient queued(port);  // nobody accepts now: it waits in the shared socket's backlog
  queued.Send("one");
  auto second = OpenServer([&](TServerSocket& s) {
    echo(s);
    s.SetPort(1);  // not opened: the shared socket is taken instead
  });
  EXPECT_EQ(second->LocalPort(), port);
  ASSERT_TRUE(Await([&] {
    queued.ReadAvailable();
    return queued.received == "one";
  }));

  shared->StopAccepting();
  RawClient later(port);
  later.Send("two");
  RunFor(100ms);
  EXPECT_EQ(live, 1) << "a stopped listener accepts no one";
  queued.Send("more");
  ASSERT_TRUE(Await([&] {
    queued.ReadAvailable();
    return queued.received == "onemore";
  })) << "its connections go on";

  auto third = OpenServer(echo);
  ASSERT_TRUE(Await([&] {
    later.ReadAvailable();
    return later.received == "two";
  })) << "the client queued meanwhile is served by the next listener";
}

// A worker started with the socket listens on it, whatever port its listeners are given, until
// the share ends; the descriptor goes with the share, and listeners open their own again.
TEST(ServerSocket, InheritedSocketIsListenedOnUntilTheShareEnds) {
  const auto echo = [](TServerSocket& s) {
    s.OnClientRead = [](TComponent*, TCustomWinSocket* socket) {
      char buffer[16];
      const int n = socket->ReceiveBuf(buffer, sizeof buffer);
      if (n > 0) socket->SendBuf(buffer, n);
    };
  };
  quorvin::testing::LoopbackListener opened;  // as the process that started this one opened it
  ASSERT_TRUE(opened.Ok());
  const int inherited = ::dup(opened.Fd());
  auto shared = SharedListenSocket::Inherit(inherited);
  EXPECT_EQ(shared->Socket(), inherited);
  auto server = OpenServer([&](TServerSocket& s) {
    echo(s);
    s.SetPort(1);
  });
  EXPECT_EQ(server->LocalPort(), opened.Port());
  RawClient client(opened.Port());
  client.Send("one");
  ASSERT_TRUE(Await([&] {
    client.ReadAvailable();
    return client.received == "one";
  }));

  shared.reset();
  EXPECT_EQ(::fcntl(inherited, F_GETFD), -1) << "the share took the descriptor";
  client.Send("two");
  ASSERT_TRUE(Await([&] {
    client.ReadAvailable();
    return client.received == "onetwo";
  })) << "a listener made from the socket goes on";
  auto own = OpenServer(echo);
  EXPECT_NE(own->LocalPort(), opened.Port());
}

TEST(ServerSocket, InheritRefusesWhatIsNotAListeningSocketAndASecondShare) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  quorvin::testing::LoopbackListener opened;
  ASSERT_TRUE(opened.Ok());
  const int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct Case {
    const char* what;
    int fd;
    const char* reason;
  };
  for (const Case& c : {Case{"a connected socket", pair[0], "not a listening socket"},
                        Case{"a file", file, "on non-socket"}, Case{"no descriptor", -1, "Bad file"}}) {
    SCOPED_TRACE(c.what);
    try {
      SharedListenSocket::Inherit(c.fd);
      ADD_FAILURE() << "taken";
    } catch (const ESocketError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
  EXPECT_GE(::fcntl(pair[0], F_GETFD), 0) << "a refused descriptor stays the caller's";

  const auto shared = SharedListenSocket::Inherit(::dup(opened.Fd()));
  EXPECT_THROW(SharedListenSocket::KeepFirstOpened(), std::logic_error);
  EXPECT_THROW(SharedListenSocket::Inherit(opened.Fd()), std::logic_error);
  for (const int fd : {pair[0], pair[1], file}) ::close(fd);
}

}  // namespace
}  // namespace quorvin::net
