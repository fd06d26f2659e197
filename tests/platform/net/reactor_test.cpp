// The reactor alone: deadlines, posted work, events that went stale in the batch they came in,
// and a wait that fails.
#include "quorvin/platform/net/reactor.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "quorvin/platform/core/deadline.h"

#include "test_support.h"

namespace quorvin::net {
namespace {

using namespace std::chrono_literals;

Reactor& Loop() {
  return Reactor::Instance();
}

// Long enough that a turn which waited for it would time the test out: every turn below must
// end on something that is ready or due.
constexpr auto kForever = std::chrono::hours(1);

TEST(Reactor, PostedWorkRunsInOrderAfterTheHandlerAndWhatItPostsRunsAfterIt) {
  quorvin::testing::MessageCapture boxes;
  std::vector<std::string> ran;
  Loop().Post([&] {
    ran.push_back("first");
    Loop().Post([&] { ran.push_back("posted by first"); });
  });
  Loop().Post([] { throw std::runtime_error("a handler failed"); });
  Loop().Post([&] { ran.push_back("second"); });
  Loop().Turn(kForever);  // does not wait: there is work to run
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "posted by first"}));
  ASSERT_EQ(boxes.Shown().size(), 1u) << "the exception is shown, and the work after it runs";
  EXPECT_EQ(boxes.Shown()[0].first, "a handler failed");
}

TEST(Reactor, WorkThatKeepsPostingItselfLetsTheTurnEnd) {
  int runs = 0;
  bool stop = false;
  std::function<void()> again = [&] {
    ++runs;
    if (!stop) Loop().Post(again);
  };
  Loop().Post(again);
  Loop().Turn(kForever);
  const int first_turn = runs;
  EXPECT_GE(first_turn, 1);
  EXPECT_LE(first_turn, 10) << "a turn runs a few batches, then goes back to its sockets";
  Loop().Turn(kForever);
  EXPECT_GT(runs, first_turn) << "and the work goes on at the next turn";
  stop = true;
  Loop().Turn(kForever);  // the last one posted runs and posts nothing more
}

TEST(Reactor, DeadlinesRunInTheOrderTheyAreDueAndCancelledOnesNever) {
  std::vector<std::string> ran;
  platform::Deadline later([&] { ran.push_back("later"); });
  platform::Deadline sooner([&] { ran.push_back("sooner"); });
  platform::Deadline cancelled([&] { ran.push_back("cancelled"); });
  platform::Deadline moved([&] { ran.push_back("moved"); });
  later.After(30ms);
  sooner.After(10ms);
  cancelled.After(1ms);
  cancelled.Cancel();
  moved.After(1ms);
  moved.After(20ms);  // setting it again moves it
  // Each turn waits no longer than the earliest deadline.
  while (ran.size() < 3) Loop().Turn(kForever);
  EXPECT_EQ(ran, (std::vector<std::string>{"sooner", "moved", "later"}));
  EXPECT_FALSE(cancelled.Pending());

  platform::Deadline past([&] { ran.push_back("past"); });
  past.At(platform::Deadline::Clock::now() - 1s);
  Loop().Turn(kForever);
  EXPECT_EQ(ran.back(), "past") << "a moment already past runs at the next turn, without a wait";
}

struct Watcher final : ReadyWatcher {
  void Ready(std::uint32_t /*events*/) override {
    ++calls;
    if (on_ready) on_ready();
  }

  int calls = 0;
  std::function<void()> on_ready;
};

struct SocketPair {
  SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }

  ~SocketPair() {
    for (int f : fd) {
      if (f >= 0) ::close(f);
    }
  }

  void Write() const { ASSERT_EQ(::send(fd[1], "x", 1, MSG_NOSIGNAL), 1); }

  int fd[2] = {-1, -1};
};

// Both descriptors are ready in one batch. Whichever handler runs first closes the other's
// descriptor and puts a new socket under its number: the event fetched for the old one must
// reach neither the old watcher nor the new one.
TEST(Reactor, AnEventForADescriptorClosedInTheSameBatchReachesNobody) {
  SocketPair a;
  SocketPair b;
  SocketPair fresh;
  Watcher first;
  Watcher second;
  Watcher newcomer;
  // Edges: a watcher hears once of the byte it leaves unread.
  ASSERT_TRUE(Loop().Watch(a.fd[0], &first, EPOLLIN | EPOLLET));
  ASSERT_TRUE(Loop().Watch(b.fd[0], &second, EPOLLIN | EPOLLET));
  int reused = -1;
  const auto replace = [&](int fd, Watcher& old) {
    if (reused >= 0) return;
    Loop().Forget(fd, &old, false);
    // dup2 closes the old socket and gives its number to the new one in one step.
    reused = ::dup2(fresh.fd[0], fd);
    ASSERT_EQ(reused, fd);
    ASSERT_TRUE(Loop().Watch(reused, &newcomer, EPOLLIN | EPOLLET));
  };
  first.on_ready = [&] { replace(b.fd[0], second); };
  second.on_ready = [&] { replace(a.fd[0], first); };
  a.Write();
  b.Write();
  Loop().Turn(0ns);
  EXPECT_EQ(first.calls + second.calls, 1);
  EXPECT_EQ(newcomer.calls, 0);

  // The new socket hears its own events.
  fresh.Write();
  Loop().Turn(0ns);
  EXPECT_EQ(newcomer.calls, 1);
  EXPECT_EQ(first.calls + second.calls, 1);
  Loop().Forget(reused, &newcomer, true);
  Loop().Forget(reused == a.fd[0] ? b.fd[0] : a.fd[0], reused == a.fd[0] ? &second : &first, true);
}

// A signal that cuts the wait short is no failure: the turn ends and the loop goes on.
TEST(Reactor, ASignalOnlyShortensTheWait) {
  struct sigaction quiet {};

  quiet.sa_handler = [](int) {};

  struct sigaction previous {};

  ASSERT_EQ(::sigaction(SIGALRM, &quiet, &previous), 0);
  itimerval once{};
  once.it_value.tv_usec = 20'000;
  ::setitimer(ITIMER_REAL, &once, nullptr);
  EXPECT_NO_THROW(Loop().Turn(std::chrono::seconds(30)));
  ::sigaction(SIGALRM, &previous, nullptr);
}

// Any other failure of the wait would come back on every turn: it is thrown, not taken for a
// signal. The epoll set is made unusable in a child process, which reports what Turn did.
TEST(ReactorDeathTest, AFailingWaitThrows) {
  EXPECT_EXIT(
      {
        Reactor& loop = Loop();
        const int junk = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
          std::error_code ec;
          if (std::filesystem::read_symlink(entry.path(), ec).string() == "anon_inode:[eventpoll]")
            ::dup2(junk, std::stoi(entry.path().filename().string()));
        }
        try {
          loop.Turn(0ns);
        } catch (const std::system_error& e) {
          std::_Exit(e.code().value() == EINVAL ? 0 : 1);
        }
        std::_Exit(2);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvin::net
