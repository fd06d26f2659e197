// The send queue alone, through a wire that answers as its script says: short writes, a full
// socket, a sendfile that the file system cannot feed, failures, a drop after the last byte,
// and the joining of small pieces.
#include "quorvin/platform/net/send_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "quorvin/platform/core/stream.h"

#include "loop_client.h"
#include "test_support.h"

namespace quorvin::net::detail {
namespace {

using Step = SendQueue::Step;

// One answer of the wire: take at most `bytes` (every byte offered when kAll), or fail with
// `error`.
struct Answer {
  static constexpr std::size_t kAll = static_cast<std::size_t>(-1);
  std::size_t bytes = kAll;
  int error = 0;
};

Answer Take(std::size_t bytes) {
  return {bytes, 0};
}

Answer Fail(int error) {
  return {0, error};
}

// A wire that answers each call with the next entry of its script (every byte once the script
// has run out), and keeps what it took and how it was called: "S" a send with more to follow,
// "s" one without, "f" a sendfile.
class ScriptedWire final : public Wire {
 public:
  ScriptedWire(std::deque<Answer> script, bool gathers)
      : script_(std::move(script)), gathers_(gathers) {}

  ssize_t Send(const char* data, std::size_t count, bool more, int& error) override {
    calls += more ? 'S' : 's';
    const Answer a = Next();
    if (a.error != 0) {
      error = a.error;
      return -1;
    }
    const std::size_t n = std::min(count, a.bytes);
    taken.append(data, n);
    return static_cast<ssize_t>(n);
  }

  ssize_t SendFile(int file, off_t& at, std::size_t count, int& error) override {
    calls += 'f';
    const Answer a = Next();
    if (a.error != 0) {
      error = a.error;
      return -1;
    }
    std::string piece(std::min(count, a.bytes), '\0');
    const ssize_t n = ::pread(file, piece.data(), piece.size(), at);
    if (n < 0) {
      error = errno;
      return -1;
    }
    taken.append(piece.data(), static_cast<std::size_t>(n));
    at += n;
    return n;
  }

  bool Gathers() const override { return gathers_; }

  std::string taken;
  std::string calls;

 private:
  Answer Next() {
    if (script_.empty()) return {};
    const Answer a = script_.front();
    script_.pop_front();
    return a;
  }

  std::deque<Answer> script_;
  bool gathers_;
};

// A stream that is neither a file nor memory: read in pieces. It gives `good` bytes, then
// fails as a broken disk would.
class FailingStream final : public platform::TStream {
 public:
  explicit FailingStream(std::string good) : good_(std::move(good)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    if (at_ >= good_.size()) throw std::system_error(EIO, std::generic_category(), "read");
    const std::size_t n = std::min(good_.size() - at_, static_cast<std::size_t>(count));
    good_.copy(static_cast<char*>(buffer), n, at_);
    at_ += n;
    return static_cast<std::int64_t>(n);
  }

  std::int64_t Write(const void*, std::int64_t) override { return 0; }

  std::int64_t Seek(std::int64_t, platform::TSeekOrigin) override {
    return static_cast<std::int64_t>(at_);
  }

  void SetSize(std::int64_t) override {}

 private:
  std::string good_;
  std::size_t at_ = 0;
};

// What is queued, in order.
struct Piece {
  enum Kind { kBytes, kFile, kMemory, kFailingRead } kind;

  std::size_t size;
  bool drop = false;
  std::int64_t file_limit = -1;  // kFile: where the opener says the file ends
};

struct QueueCase {
  const char* name;
  std::vector<Piece> queue;
  std::deque<Answer> script;
  bool gathers;
  std::vector<Step> flushes;  // what each Flush returns, the last one ending the case
  std::string calls;          // how the wire was called, over all the flushes
  int error;                  // of the last Flush
  std::size_t sent;           // bytes the wire took: a prefix of what was queued
};

void PrintTo(const QueueCase& c, std::ostream* out) {
  *out << c.name;
}

constexpr std::size_t kEverything = static_cast<std::size_t>(-1);

class SendQueueCases : public ::testing::TestWithParam<QueueCase> {
 protected:
  // The bytes of piece `index`: each piece different, so that a reordering shows.
  static std::string Content(std::size_t index, std::size_t size) {
    return testkit::Pattern(size + index * 13).substr(index * 13);
  }

  quorvin::testing::TempDir dir_;
};

TEST_P(SendQueueCases, Flush) {
  const QueueCase& c = GetParam();
  SendQueue queue;
  std::string queued;
  for (std::size_t i = 0; i < c.queue.size(); ++i) {
    const Piece& p = c.queue[i];
    const std::string bytes = Content(i, p.size);
    queued += bytes;
    switch (p.kind) {
      case Piece::kBytes:
        queue.AddBytes(bytes.data(), bytes.size());
        break;
      case Piece::kFile: {
        const std::string path = dir_.Write("piece" + std::to_string(i), bytes).string();
        auto file = std::make_unique<platform::TFileStream>(path, platform::fmOpenRead);
        if (p.file_limit >= 0) {
          file->SetRegular();
          file->SetLimit(p.file_limit);
        }
        queue.AddStream(std::move(file), p.drop);
        break;
      }
      case Piece::kMemory: {
        auto memory = std::make_unique<platform::TMemoryStream>();
        memory->WriteText(bytes);
        memory->SetPosition(0);
        queue.AddStream(std::move(memory), p.drop);
        break;
      }
      case Piece::kFailingRead:
        queue.AddStream(std::make_unique<FailingStream>(bytes), p.drop);
        break;
    }
    if (p.drop) {
      EXPECT_TRUE(queue.DropQueued());
    }
  }

  ScriptedWire wire(c.script, c.gathers);
  std::vector<Step> steps;
  int error = 0;
  for (std::size_t i = 0; i < c.flushes.size(); ++i) {
    error = 0;
    steps.push_back(queue.Flush(wire, error));
    if (steps.back() != Step::kBlocked) break;
    EXPECT_EQ(error, 0) << "a full socket is no failure";
  }
  EXPECT_EQ(steps, c.flushes);
  EXPECT_EQ(wire.calls, c.calls);
  EXPECT_EQ(error, c.error);
  const std::size_t sent = c.sent == kEverything ? queued.size() : c.sent;
  EXPECT_TRUE(wire.taken == queued.substr(0, sent))
      << "took " << wire.taken.size() << " bytes, expected the first " << sent;
  if (steps.back() == Step::kDone || steps.back() == Step::kDropped) {
    EXPECT_TRUE(queue.Empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    , SendQueueCases,
    ::testing::Values(
        // A short send means the socket is full: no second try until it has room.
        QueueCase{"ShortWriteWaitsThenGoesOn",
                  {{Piece::kBytes, 100}},
                  {Take(30)},
                  false,
                  {Step::kBlocked, Step::kDone},
                  "ss",
                  0,
                  kEverything},
        QueueCase{"EagainBlocksAndLosesNothing",
                  {{Piece::kBytes, 100}},
                  {Fail(EAGAIN)},
                  false,
                  {Step::kBlocked, Step::kDone},
                  "ss",
                  0,
                  kEverything},
        // A heading goes with "more to follow", the file behind it with sendfile.
        QueueCase{"HeadingThenFile",
                  {{Piece::kBytes, 40}, {Piece::kFile, 5000}},
                  {},
                  false,
                  {Step::kDone},
                  "Sf",
                  0,
                  kEverything},
        QueueCase{"SendfileEinvalFallsBackToReadAndSend",
                  {{Piece::kFile, 40000}},
                  {Fail(EINVAL)},
                  false,
                  {Step::kDone},
                  "fss",
                  0,
                  kEverything},
        QueueCase{"SendfileAfterAFullSocketResumesWhereItStopped",
                  {{Piece::kFile, 40000}},
                  {Take(1000), Fail(EAGAIN)},
                  false,
                  {Step::kBlocked, Step::kDone},
                  "fff",
                  0,
                  kEverything},
        QueueCase{"FailureMidFile",
                  {{Piece::kBytes, 10}, {Piece::kFile, 40000}},
                  {{}, Take(4096), Fail(EPIPE)},
                  false,
                  {Step::kFailed},
                  "Sff",
                  EPIPE,
                  10 + 4096},
        QueueCase{"StreamThatFailsMidReadFails",
                  {{Piece::kFailingRead, 10}},
                  {},
                  false,
                  {Step::kFailed},
                  "s",
                  EIO,
                  10},
        // A file that became shorter than its opener said ends where it ends.
        QueueCase{"FileShorterThanItsLimitEndsThere",
                  {{Piece::kFile, 100, false, 200}},
                  {},
                  false,
                  {Step::kDone},
                  "ff",
                  0,
                  kEverything},
        // kDropped only once the last byte has gone, never before.
        QueueCase{"DropAfterTheLastByte",
                  {{Piece::kBytes, 40}, {Piece::kFile, 40000, true}},
                  {{}, Take(1000), Fail(EAGAIN)},
                  false,
                  {Step::kBlocked, Step::kDropped},
                  "Sfff",
                  0,
                  kEverything},
        QueueCase{"DropOfAMemoryStream",
                  {{Piece::kMemory, 300, true}},
                  {Take(100)},
                  false,
                  {Step::kBlocked, Step::kDropped},
                  "ss",
                  0,
                  kEverything},
        // Gathering: a TLS wire makes a record per send, so a heading and the first piece
        // of the body behind it leave in one.
        QueueCase{"GathersHeadingAndSmallMemoryBody",
                  {{Piece::kBytes, 40}, {Piece::kMemory, 300}},
                  {},
                  true,
                  {Step::kDone},
                  "S",
                  0,
                  kEverything},
        QueueCase{"GathersHeadingAndSmallFile",
                  {{Piece::kBytes, 40}, {Piece::kFile, 300}},
                  {},
                  true,
                  {Step::kDone},
                  "S",
                  0,
                  kEverything},
        QueueCase{"GathersTheFirstPieceOfALargeFile",
                  {{Piece::kBytes, 40}, {Piece::kFile, 40000}},
                  {},
                  true,
                  {Step::kDone},
                  "Sf",
                  0,
                  kEverything},
        QueueCase{"PlainWireDoesNotGather",
                  {{Piece::kBytes, 40}, {Piece::kMemory, 300}},
                  {},
                  false,
                  {Step::kDone},
                  "Ss",
                  0,
                  kEverything}),
    testkit::ByName());

TEST(SendQueue, SmallWritesLeaveInOneSend) {
  SendQueue queue;
  for (const char* piece : {"HTTP/1.1 200 OK\r\n", "Content-Length: 2\r\n", "\r\n", "hi"})
    queue.AddBytes(piece, std::char_traits<char>::length(piece));
  ScriptedWire wire({}, false);
  int error = 0;
  EXPECT_EQ(queue.Flush(wire, error), Step::kDone);
  EXPECT_EQ(wire.calls, "s");
  EXPECT_EQ(wire.taken, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
}

TEST(SendQueue, AHeadingBeforeAnEmptyStreamIsLeftCorked) {
  // The heading went with "more to follow" and nothing followed: the caller has to push it out.
  SendQueue queue;
  queue.AddBytes("HTTP/1.1 204 No Content\r\n\r\n", 27);
  queue.AddStream(std::make_unique<platform::TMemoryStream>(), false);
  ScriptedWire wire({}, false);
  int error = 0;
  EXPECT_EQ(queue.Flush(wire, error), Step::kDone);
  EXPECT_EQ(wire.calls, "S");
  EXPECT_TRUE(queue.Corked());
}

}  // namespace
}  // namespace quorvin::net::detail
