#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "quorvin/client/http_client_core.h"

namespace quorvin::client {
namespace {

// The reader over scripted reads: each Deliver is one read notification; Close is the peer
// closing the connection.
class FakeClient final : public HttpClientCore {
 public:
  void Deliver(std::string bytes) {
    reads_.push_back(std::move(bytes));
    ReadResponse();
  }
  void PeerCloses() {
    closed_ = true;
    ReadResponse();  // the read that finds the end
  }

  std::vector<std::pair<int, int>> progress;
  std::vector<std::string> bodies;
  std::vector<std::string> failures;
  int closes = 0;

 protected:
  int ReceiveSome(char* into, int max) override {
    if (reads_.empty()) return closed_ ? 0 : -1;
    std::string bytes = std::move(reads_.front());
    reads_.pop_front();
    const int n = std::min<int>(max, static_cast<int>(bytes.size()));
    bytes.copy(into, static_cast<std::size_t>(n));
    if (n < static_cast<int>(bytes.size())) reads_.push_front(bytes.substr(static_cast<std::size_t>(n)));
    return n;
  }
  void CloseConnection() override { ++closes; }
  void Progress(std::int32_t received, std::int32_t total) override { progress.emplace_back(received, total); }
  void StreamReady(platform::TMemoryStream& body) override {
    EXPECT_EQ(body.Position(), 0);
    bodies.emplace_back(body.View());
  }
  void ResponseFailed(const std::string& reason) override { failures.push_back(reason); }
  void ResponseDone() override { ++done; }

 public:
  int done = 0;

 private:
  std::deque<std::string> reads_;
  bool closed_ = false;
};

struct ReaderCase {
  const char* name;
  std::string bytes;
  bool then_close;  // the server closes after sending
  std::string version, code, text;
  std::vector<std::string> headers;
  std::vector<std::string> bodies;  // what OnStreamReady delivered
  bool failed;
};

class ResponseReader : public ::testing::TestWithParam<ReaderCase> {
 protected:
  void Check(FakeClient& c) {
    const ReaderCase& p = GetParam();
    EXPECT_EQ(c.ResponseVersion, p.version);
    EXPECT_EQ(c.ResponseCode, p.code);
    EXPECT_EQ(c.ResponseText, p.text);
    std::vector<std::string> headers(c.ResponseHeaders.begin(), c.ResponseHeaders.end());
    if (!p.failed) {
      EXPECT_EQ(headers, p.headers);
    }
    EXPECT_EQ(c.bodies, p.bodies);
    EXPECT_EQ(!c.failures.empty(), p.failed);
    EXPECT_EQ(c.ResState, TOrbHTTPResponseType::RES_REQUEST);
  }
};

TEST_P(ResponseReader, InOneRead) {
  FakeClient c;
  c.Deliver(GetParam().bytes);
  if (GetParam().then_close) c.PeerCloses();
  Check(c);
}

TEST_P(ResponseReader, WhereverTheReadsSplit) {
  const std::string& bytes = GetParam().bytes;
  for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    FakeClient c;
    c.Deliver(bytes.substr(0, cut));
    c.Deliver(bytes.substr(cut));
    if (GetParam().then_close) c.PeerCloses();
    Check(c);
  }
}

const std::string k200 = "HTTP/1.0 200 OK\r\n";
const std::string k11 = "HTTP/1.1 200 OK\r\n";

INSTANTIATE_TEST_SUITE_P(
    , ResponseReader,
    ::testing::Values(
        ReaderCase{"WithLength", k200 + "Content-Length: 5\r\n\r\nhello", false, "HTTP/1.0", "200", "OK",
                   {"content-length=5"}, {"hello"}, false},
        ReaderCase{"NoBlankAfterColon", k200 + "Content-Length:5\r\n\r\nhello", false, "HTTP/1.0", "200", "OK",
                   {"content-length=5"}, {"hello"}, false},
        ReaderCase{"ValuesKeptNamesLowered", k200 + "Content-Type: Text/HTML \r\nSet-Cookie: A=B\r\nContent-Length: 0\r\n\r\n",
                   false, "HTTP/1.0", "200", "OK", {"content-type=Text/HTML", "set-cookie=A=B", "content-length=0"},
                   {}, false},
        ReaderCase{"ExtraSpacesInStatusLine", "HTTP/1.0   404   Not Found\r\nContent-Length: 2\r\n\r\nno", false,
                   "HTTP/1.0", "404", "Not Found", {"content-length=2"}, {"no"}, false},
        ReaderCase{"StatusWithoutReason", "HTTP/1.0 204\r\nContent-Length: 0\r\n\r\n", false, "HTTP/1.0", "204", "",
                   {"content-length=0"}, {}, false},
        ReaderCase{"BareLineFeeds", "HTTP/1.0 200 OK\nContent-Length: 3\n\nabc", false, "HTTP/1.0", "200", "OK",
                   {"content-length=3"}, {"abc"}, false},
        ReaderCase{"MoreBytesThanAnnounced", k200 + "Content-Length: 3\r\n\r\nabcdef", false, "HTTP/1.0", "200", "OK",
                   {"content-length=3"}, {"abc"}, false},
        ReaderCase{"BodyUntilClose", k200 + "Server: x\r\n\r\nall of it", true, "HTTP/1.0", "200", "OK",
                   {"server=x"}, {"all of it"}, false},
        ReaderCase{"EmptyBodyUntilClose", k200 + "\r\n", true, "HTTP/1.0", "200", "OK", {}, {}, false},
        ReaderCase{"LengthBeyond32BitsReadsUntilClose", k200 + "Content-Length: 99999999999\r\n\r\nabc", true,
                   "HTTP/1.0", "200", "OK", {"content-length=99999999999"}, {"abc"}, false},
        ReaderCase{"GarbageLengthReadsUntilClose", k200 + "Content-Length: 12abc\r\n\r\nabc", true, "HTTP/1.0",
                   "200", "OK", {"content-length=12abc"}, {"abc"}, false},
        ReaderCase{"BlankLineFirst", "\r\nraw bytes", true, "", "", "", {}, {"raw bytes"}, false},
        ReaderCase{"CutShort", k200 + "Content-Length: 10\r\n\r\n0123", true, "HTTP/1.0", "200", "OK", {}, {}, true},
        ReaderCase{"CutInTheHead", k200 + "Content-Len", true, "HTTP/1.0", "200", "OK", {}, {}, true},
        // Chunked bodies: decoded, extensions and trailers read and dropped, framing checked.
        ReaderCase{"Chunked",
                   k11 + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;name=\"v\"\r\n world\r\n0\r\n"
                         "X-Checksum: 1\r\n\r\n",
                   false, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, {"hello world"}, false},
        ReaderCase{"ChunkedUpperHexBareLineFeeds", k11 + "Transfer-Encoding: chunked\r\n\r\nA\n0123456789\n0\n\n",
                   false, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, {"0123456789"}, false},
        ReaderCase{"ChunkedOverContentLength",
                   k11 + "Content-Length: 99\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
                   "HTTP/1.1", "200", "OK", {"content-length=99", "transfer-encoding=gzip, chunked"}, {"abc"}, false},
        ReaderCase{"ChunkedEmpty", k11 + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, "HTTP/1.1", "200",
                   "OK", {"transfer-encoding=chunked"}, {}, false},
        ReaderCase{"OtherCodingRunsUntilClose", k11 + "Transfer-Encoding: gzip\r\n\r\n3\r\nabc", true, "HTTP/1.1",
                   "200", "OK", {"transfer-encoding=gzip"}, {"3\r\nabc"}, false},
        ReaderCase{"ChunkSizeNotHex", k11 + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n", false,
                   "HTTP/1.1", "200", "OK", {}, {}, true},
        ReaderCase{"ChunkSizeEmpty", k11 + "Transfer-Encoding: chunked\r\n\r\n\r\n", false, "HTTP/1.1", "200", "OK",
                   {}, {}, true},
        ReaderCase{"ChunkSizeOverflow", k11 + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n", false,
                   "HTTP/1.1", "200", "OK", {}, {}, true},
        ReaderCase{"ChunkLongerThanItsSize", k11 + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n", false,
                   "HTTP/1.1", "200", "OK", {}, {}, true},
        ReaderCase{"ChunkSizeLineTooLong", k11 + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(1100, 'x'),
                   false, "HTTP/1.1", "200", "OK", {}, {}, true},
        ReaderCase{"ChunkedCutShort", k11 + "Transfer-Encoding: chunked\r\n\r\n5\r\nhel", true, "HTTP/1.1", "200",
                   "OK", {}, {}, true},
        ReaderCase{"ChunkedWithoutLastChunk", k11 + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", true,
                   "HTTP/1.1", "200", "OK", {}, {}, true}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ResponseReaderProgress, ReportsEachReadAndTheTotal) {
  FakeClient c;
  c.Deliver(k200 + "Content-Length: 5\r\n\r\nhe");
  c.Deliver("llo");
  EXPECT_EQ(c.progress, (std::vector<std::pair<int, int>>{{2, 5}, {5, 5}}));
  FakeClient zero;
  zero.Deliver(k200 + "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(zero.progress, (std::vector<std::pair<int, int>>{{0, 0}}));
  EXPECT_TRUE(zero.bodies.empty());
  FakeClient open_ended;
  open_ended.Deliver(k200 + "\r\nabc");
  open_ended.Deliver("de");
  EXPECT_EQ(open_ended.progress, (std::vector<std::pair<int, int>>{{3, -1}, {5, -1}}));
}

TEST(ResponseReaderRestart, CutShortAnswerLeavesNothingForTheNextConnection) {
  FakeClient c;
  c.Deliver(k200 + "Content-Length: 10\r\n\r\n0123");
  c.ConnectionEnded();
  ASSERT_EQ(c.failures.size(), 1u);
  EXPECT_EQ(c.failures[0], "the connection closed after 4 of 10 body bytes");
  EXPECT_EQ(c.LastError, c.failures[0]);
  c.Deliver("HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno");
  EXPECT_EQ(c.ResponseCode, "404");
  EXPECT_EQ(c.bodies, (std::vector<std::string>{"no"}));
  EXPECT_EQ(c.LastError, "");
}

TEST(ResponseReaderLimits, LongLinesAndHugeBodiesAreRefused) {
  FakeClient long_line;
  long_line.Deliver(k200 + "X: " + std::string(9000, 'a') + "\r\n\r\n");
  long_line.Deliver("");  // the rest of the line comes with the next read
  EXPECT_EQ(long_line.failures.size(), 1u);
  EXPECT_EQ(long_line.closes, 1);

  FakeClient huge;
  huge.MaxResponseBody = 100;
  huge.Deliver(k200 + "Content-Length: 101\r\n\r\n");
  EXPECT_EQ(huge.failures.size(), 1u);
  FakeClient endless;
  endless.MaxResponseBody = 100;
  endless.Deliver(k200 + "\r\n" + std::string(60, 'x'));
  endless.Deliver(std::string(60, 'x'));
  EXPECT_EQ(endless.failures.size(), 1u);
  EXPECT_EQ(endless.closes, 1);
}

// Bodies written to the program's stream as they arrive: nothing kept in ResponseBody, no size
// limit of the client's own, OnResponseDone for each response (bodiless ones too).
TEST(ResponseReaderStream, BodiesGoToTheProgramsStreamAsTheyArrive) {
  FakeClient c;
  platform::TMemoryStream out;
  c.SetResponseStream(&out);
  c.MaxResponseBody = 4;  // the program's stream is not held to it
  c.Deliver(k200 + "Content-Length: 10\r\n\r\n01234");
  EXPECT_EQ(out.View(), "01234");
  EXPECT_EQ(c.ResponseBody->Size(), 0);
  EXPECT_EQ(c.done, 0);
  c.Deliver("56789");
  EXPECT_EQ(out.View(), "0123456789");
  EXPECT_EQ(c.done, 1);
  c.Deliver(k11 + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n");
  c.Deliver("2\r\nde\r\n0\r\n\r\n");
  EXPECT_EQ(out.View(), "0123456789abcde");
  EXPECT_EQ(c.done, 2);
  c.Deliver("HTTP/1.0 304 Not Modified\r\n\r\n");
  EXPECT_EQ(c.done, 3);
  EXPECT_TRUE(c.bodies.empty());
  EXPECT_TRUE(c.failures.empty());
  EXPECT_EQ(c.progress.back(), (std::pair<int, int>{5, -1}));
}

TEST(ResponseReaderLimits, AnnouncedLengthIsNotAllocatedUpFront) {
  FakeClient c;
  c.MaxResponseBody = 1LL << 32;
  c.Deliver(k200 + "Content-Length: 2000000000\r\n\r\nabc");
  EXPECT_LT(c.ResponseBody->Size(), 1024);
  EXPECT_EQ(c.progress, (std::vector<std::pair<int, int>>{{3, 2000000000}}));
}

}  // namespace
}  // namespace quorvin::client

namespace quorvin::client {
namespace {

TEST(ResponseReaderNoBody, AnswersWithoutBodyEndWithTheirHead) {
  struct Case {
    const char* method;
    std::string answer;
  } cases[] = {{"HEAD", "HTTP/1.0 200 OK\r\nContent-Length: 4691\r\n\r\n"},
               {"GET", "HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n"},
               {"GET", "HTTP/1.0 204 No Content\r\n\r\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    FakeClient client;
    client.SetStringVariable(kMethod, c.method);
    client.BuildRequest();
    client.Deliver(c.answer);
    EXPECT_EQ(client.ResState, TOrbHTTPResponseType::RES_REQUEST);
    EXPECT_TRUE(client.bodies.empty());
    client.ConnectionEnded();  // the server closes: nothing was cut short
    EXPECT_TRUE(client.failures.empty());
  }
}

}  // namespace
}  // namespace quorvin::client
