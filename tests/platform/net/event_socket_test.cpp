// The connected socket that both layers stand on, alone over a socketpair with the real loop:
// data-arrived events until the input is proven empty, the notification window's switches,
// queued output and the write-ready events it earns, failures, and the graceful close.
#include "quorvin/platform/net/event_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/net/application.h"

#include "loop_client.h"

namespace quorvin::net::detail {
namespace {

using namespace testkit;

constexpr unsigned kMessage = 4242;

SocketWindow& Window() {
  static auto* window = new SocketWindow(kMessage);
  return *window;
}

std::string Failed(std::string_view op, int code) {
  return "failed " + std::string(op) + " " + std::strerror(code);
}

// The layer object above the socket, as the test sees it: what it was told, in order.
class Owner final : public EventSocketClient {
 public:
  void SocketReadable() override {
    events.push_back("read");
    if (on_read) on_read();
  }

  void SocketWritable() override {
    events.push_back("write");
    if (on_write) on_write();
  }

  void SocketConnected() override { events.push_back("connected"); }

  void SocketEnded() override { events.push_back("ended"); }

  void SocketFailed(SocketOp op, int code) override {
    events.push_back(Failed(op == SocketOp::kSend      ? "send"
                            : op == SocketOp::kReceive ? "receive"
                                                       : "other",
                            code));
  }

  int Count(std::string_view event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

  std::vector<std::string> events;
  std::function<void()> on_read;
  std::function<void()> on_write;
};

class SocketCore : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    peer_ = fds[1];
    socket_ = std::make_shared<EventSocket>(fds[0], Window(), &owner_,
                                            EventSocket::Blocking::kNonBlocking);
  }

  void TearDown() override {
    if (socket_) socket_->Close(true);
    if (peer_ >= 0) ::close(peer_);
    Settle();
  }

  // A few turns of the loop: whatever was posted or is ready has run by then.
  static void Settle() {
    for (int i = 0; i < 5; ++i) Application::Instance().ProcessMessages();
  }

  std::string Receive(int count) {
    std::string bytes(static_cast<std::size_t>(count), '\0');
    int error = 0;
    const int n = socket_->Receive(bytes.data(), count, error);
    return n > 0 ? bytes.substr(0, static_cast<std::size_t>(n)) : std::string();
  }

  void PeerSend(std::string_view bytes) const {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // What the peer can read now. `ended` once it has read the end of data; `error` when the
  // receive failed.
  std::string PeerRead(bool* ended = nullptr, int* error = nullptr) const {
    std::string got;
    char piece[64 * 1024];
    for (;;) {
      const ssize_t n = ::recv(peer_, piece, sizeof piece, 0);
      if (n > 0) {
        got.append(piece, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 && ended != nullptr) *ended = true;
      if (n < 0 && errno != EAGAIN && error != nullptr) *error = errno;
      return got;
    }
  }

  Owner owner_;  // outlives the socket
  std::shared_ptr<EventSocket> socket_;
  int peer_ = -1;
};

TEST_F(SocketCore, DataArrivedIsReportedUntilAReceiveProvesTheInputEmpty) {
  std::string got;
  owner_.on_read = [&] { got += Receive(4); };
  socket_->Start(FD_READ | FD_CLOSE);
  PeerSend("0123456789");
  ASSERT_TRUE(Await([&] { return got.size() == 10; }));
  Settle();
  EXPECT_EQ(got, "0123456789");
  // 4 and 4 fill the buffer and prove nothing; the short 2 proves the input empty.
  EXPECT_EQ(owner_.Count("read"), 3);
  PeerSend("ab");
  ASSERT_TRUE(Await([&] { return got.size() == 12; }));
  EXPECT_EQ(owner_.Count("read"), 4);
}

TEST_F(SocketCore, AnOwnerThatReadsNothingHearsAgainOnlyWhenMoreArrives) {
  socket_->Start(FD_READ | FD_CLOSE);
  PeerSend("abc");
  ASSERT_TRUE(Await([&] { return owner_.Count("read") == 1; }));
  Settle();
  EXPECT_EQ(owner_.Count("read"), 1) << "not called in a loop over data it leaves";
  PeerSend("def");
  ASSERT_TRUE(Await([&] { return owner_.Count("read") == 2; }));
  EXPECT_EQ(Receive(100), "abcdef");
}

TEST_F(SocketCore, ThePeersEndOfDataEndsTheConnectionAfterTheEvent) {
  std::string got;
  owner_.on_read = [&] {
    for (std::string piece; !(piece = Receive(64)).empty();) got += piece;
  };
  socket_->Start(FD_READ | FD_CLOSE);
  PeerSend("bye");
  ::shutdown(peer_, SHUT_WR);
  ASSERT_TRUE(Await([&] { return owner_.Count("ended") == 1; }));
  EXPECT_EQ(got, "bye");
  EXPECT_EQ(owner_.events, (std::vector<std::string>{"read", "ended"}));
}

// The notification window: WSAAsyncSelect with the layer's message switches a socket from
// data-arrived to write-ready events and back; data that came meanwhile is reported then.
TEST_F(SocketCore, TheWindowSwitchesBetweenDataArrivedAndWriteReady) {
  socket_->Start(FD_READ | FD_CLOSE);
  const int fd = socket_->Handle();
  EXPECT_EQ(WSAAsyncSelect(fd, &Window(), kMessage + 1, FD_WRITE | FD_CLOSE), -1)
      << "another layer's message";
  EXPECT_EQ(WSAAsyncSelect(peer_, &Window(), kMessage, FD_WRITE | FD_CLOSE), -1)
      << "a descriptor the window does not know";
  EXPECT_EQ(WSAAsyncSelect(fd, &Window(), kMessage, FD_WRITE | FD_CLOSE), 0);
  PeerSend("request");
  ASSERT_TRUE(Await([&] { return owner_.Count("write") == 1; }));
  Settle();
  EXPECT_EQ(owner_.events, std::vector<std::string>{"write"});
  EXPECT_EQ(WSAAsyncSelect(fd, &Window(), kMessage, FD_READ | FD_CLOSE), 0);
  ASSERT_TRUE(Await([&] { return owner_.Count("read") == 1; }));
  EXPECT_EQ(Receive(100), "request");
}

TEST_F(SocketCore, QueuedOutputLeavesInOrderAndEarnsOneWriteReadyEvent) {
  socket_->Start(FD_READ | FD_CLOSE);
  const std::string big = Pattern(1 << 20);
  ASSERT_TRUE(socket_->QueueBytes(big.data(), big.size()));
  ASSERT_TRUE(socket_->OutputPending()) << "the socket took a mebibyte at once";
  socket_->Select(FD_WRITE | FD_CLOSE);
  Settle();
  EXPECT_EQ(owner_.Count("write"), 0) << "not before the queue has left";
  std::string got;
  ASSERT_TRUE(Await([&] {
    got += PeerRead();
    return got.size() == big.size() && owner_.Count("write") == 1;
  }));
  EXPECT_TRUE(got == big);
  Settle();
  EXPECT_EQ(owner_.Count("write"), 1);
}

TEST_F(SocketCore, AShortSendSomeEarnsAWriteReadyEventOnceThereIsRoom) {
  socket_->Start(FD_READ | FD_CLOSE);
  socket_->Select(FD_WRITE | FD_CLOSE);
  ASSERT_TRUE(Await([&] { return owner_.Count("write") == 1; }));
  const std::string big = Pattern(1 << 20);
  int error = 0;
  const int n = socket_->SendSome(big.data(), big.size(), error);
  ASSERT_GT(n, 0);
  ASSERT_LT(static_cast<std::size_t>(n), big.size());
  Settle();
  EXPECT_EQ(owner_.Count("write"), 1) << "no room yet";
  std::string got;
  ASSERT_TRUE(Await([&] {
    got += PeerRead();
    return owner_.Count("write") == 2;
  }));
  got += PeerRead();
  EXPECT_TRUE(got == big.substr(0, static_cast<std::size_t>(n)));
}

TEST_F(SocketCore, AStreamSentWithDropEndsTheConnectionOnceItHasLeft) {
  socket_->Start(FD_READ | FD_CLOSE);
  auto memory = std::make_unique<platform::TMemoryStream>();
  memory->WriteText("the whole answer");
  memory->SetPosition(0);
  std::unique_ptr<platform::TStream> stream = std::move(memory);
  ASSERT_TRUE(socket_->QueueStream(stream, true));
  EXPECT_FALSE(stream) << "taken";
  EXPECT_FALSE(socket_->QueueBytes("more", 4)) << "nothing may follow a dropping stream";
  ASSERT_TRUE(Await([&] { return owner_.Count("ended") == 1; }));
  EXPECT_EQ(PeerRead(), "the whole answer");
}

TEST_F(SocketCore, ASendToAPeerThatHasGoneFails) {
  socket_->Start(FD_READ | FD_CLOSE);
  ::close(peer_);
  peer_ = -1;
  EXPECT_TRUE(socket_->QueueBytes("late", 4)) << "taken: the failure goes to the owner";
  ASSERT_TRUE(Await([&] { return !owner_.events.empty(); }));
  EXPECT_EQ(owner_.events, std::vector<std::string>{Failed("send", EPIPE)});
  EXPECT_FALSE(socket_->Usable());
  EXPECT_FALSE(socket_->QueueBytes("x", 1));
}

// The answer went out and the peer, instead of reading it, resets: with only the peer's close
// selected, the socket reports the reset itself.
TEST_F(SocketCore, APeersResetWhileOnlyItsCloseIsSelectedIsAFailure) {
  owner_.on_write = [&] { socket_->QueueBytes("an answer left unread", 21); };
  socket_->Start(FD_READ | FD_CLOSE);
  socket_->Select(FD_WRITE | FD_CLOSE);
  ASSERT_TRUE(Await([&] { return owner_.Count("write") == 1; }));
  Settle();
  ::close(peer_);  // with the answer unread: a reset
  peer_ = -1;
  ASSERT_TRUE(Await([&] { return owner_.events.size() == 2; }));
  EXPECT_EQ(owner_.events.back(), Failed("receive", ECONNRESET));
  EXPECT_FALSE(socket_->Usable());
}

TEST_F(SocketCore, OutputThePeerTakesNothingOfFailsAfterTheSendLimit) {
  socket_->Start(FD_READ | FD_CLOSE);
  socket_->SetSendTimeout(std::chrono::milliseconds(50));
  const std::string big = Pattern(1 << 20);
  ASSERT_TRUE(socket_->QueueBytes(big.data(), big.size()));
  ASSERT_TRUE(Await([&] { return !owner_.events.empty(); }));
  EXPECT_EQ(owner_.events, std::vector<std::string>{Failed("send", ETIMEDOUT)});
}

// Closed with output queued: the output still leaves, then the end of data, and the socket
// lets go of itself once done.
TEST_F(SocketCore, CloseDrainsTheQueueThenEndsTheData) {
  socket_->Start(FD_READ | FD_CLOSE);
  const std::string big = Pattern(1 << 20);
  ASSERT_TRUE(socket_->QueueBytes(big.data(), big.size()));
  const std::weak_ptr<EventSocket> weak = socket_;
  socket_->Close(false);
  socket_.reset();
  EXPECT_FALSE(weak.expired()) << "the queue keeps it alive";
  std::string got;
  bool ended = false;
  ASSERT_TRUE(Await([&] {
    got += PeerRead(&ended);
    return ended;
  }));
  EXPECT_TRUE(got == big);
  EXPECT_TRUE(Await([&] { return weak.expired(); }));
  EXPECT_TRUE(owner_.events.empty()) << "nothing is reported after Close";
}

// Closed while bytes of the peer wait unread: a plain close would answer with a reset, which
// can destroy the answer in the peer's buffer. The socket shuts its side down instead, drops
// what the peer sends, and closes once the peer has.
TEST_F(SocketCore, CloseOverUnreadInputLingersSoTheAnswerIsNotReset) {
  socket_->Start(FD_WRITE | FD_CLOSE);
  PeerSend("GET / HTTP/1.0\r\n\r\n");
  Settle();  // the edge announcing it has been seen
  ASSERT_TRUE(socket_->QueueBytes("answer", 6));
  const std::weak_ptr<EventSocket> weak = socket_;
  socket_->Close(false);
  socket_.reset();
  std::string got;
  bool ended = false;
  int error = 0;
  ASSERT_TRUE(Await([&] {
    got += PeerRead(&ended, &error);
    return ended || error != 0;
  }));
  EXPECT_EQ(got, "answer");
  EXPECT_EQ(error, 0) << std::strerror(error) << ": a reset, not an end of data";
  ASSERT_FALSE(weak.expired()) << "it waits for the peer";
  EXPECT_EQ(::send(peer_, "more", 4, MSG_NOSIGNAL), 4) << "what the peer still sends is taken";
  ::close(peer_);
  peer_ = -1;
  EXPECT_TRUE(Await([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace quorvin::net::detail
