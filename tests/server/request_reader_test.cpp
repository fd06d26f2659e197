#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "fake_connection.h"
#include "test_support.h"

namespace quorvin::testing {
namespace {

using server::ZReqtype;

struct ReaderFixture {
  TempDir root;
  FakeListener listener{root.Str()};
};

struct LineCase {
  const char* name;
  std::string request;
  std::string method, url, version, query;
  bool file_mode;
};

class RequestLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(RequestLine, SplitsIntoFields) {
  ReaderFixture f;
  FakeConnection c(f.listener);
  c.Deliver(GetParam().request);
  EXPECT_EQ(c.Method, GetParam().method);
  EXPECT_EQ(c.URL, GetParam().url);
  EXPECT_EQ(c.Version, GetParam().version);
  EXPECT_EQ(c.Query, GetParam().query);
  EXPECT_EQ(c.FileMode, GetParam().file_mode);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestLine,
    ::testing::Values(
        LineCase{"PathDecodedQueryKept", "GET /a%20b.htm?x=1%202 HTTP/1.0\r\n", "GET", "/a b.htm", "HTTP/1.0",
                 "x=1%202", false},
        LineCase{"DoubleSpaces", "GET  /a.htm  HTTP/1.0\r\n", "GET", "/a.htm", "HTTP/1.0", "", true},
        LineCase{"NoVersion", "GET /a.htm\r\n", "GET", "/a.htm", "", "", true},
        LineCase{"NoVersionTrailingBlanks", "GET /a.htm \t\r\n", "GET", "/a.htm", "", "", true},
        LineCase{"NoSpaceRecordsNothing", "GET/a.htm\r\n", "", "", "", "", true},
        LineCase{"LeadingSpaceEmptyMethod", " /a.htm HTTP/1.0\r\n", "", "/a.htm", "HTTP/1.0", "", true},
        LineCase{"BareLineFeed", "HEAD /x HTTP/1.0\n", "HEAD", "/x", "HTTP/1.0", "", true},
        LineCase{"CarriageReturnInsideDropped", "GET /a\rb HTTP/1.0\r\n", "GET", "/ab", "HTTP/1.0", "", true},
        LineCase{"PlusKeptInPath", "GET /a+b HTTP/1.0\r\n", "GET", "/a+b", "HTTP/1.0", "", true},
        LineCase{"QueryOnlyFirstQuestionMark", "GET /p?a=1?b HTTP/1.1\r\n", "GET", "/p", "HTTP/1.1", "a=1?b", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, HeaderNamesLowerCasedValuesKept) {
  ReaderFixture f;
  FakeConnection c(f.listener);
  c.Deliver(
      "GET / HTTP/1.0\r\n"
      "Content-Type: Text/HTML\r\n"
      "Cookie:Session=AbC\r\n"
      "X-Pad: \t  spaced out \t\r\n"
      "No colon here\r\n"
      "Odd :name\r\n"
      "Dup: 1\r\nDup: 2\r\n");
  ASSERT_EQ(c.Headers.Count(), 6);
  EXPECT_EQ(c.Headers[0], "content-type=Text/HTML");
  EXPECT_EQ(c.Headers[1], "cookie=Session=AbC");
  EXPECT_EQ(c.Headers[2], "x-pad=spaced out");
  EXPECT_EQ(c.Headers[3], "odd =name");  // a blank before the colon stays in the name
  EXPECT_EQ(c.Headers.Values("DUP"), "1");
  EXPECT_FALSE(c.AwaitingWrite());
}

TEST(RequestReader, SameResultWhereverTheReadsSplit) {
  const std::string req = "POST /f HTTP/1.0\r\nContent-Length:5\r\nX-A: b\r\n\r\nhello";
  for (std::size_t cut = 1; cut < req.size(); ++cut) {
    SCOPED_TRACE(cut);
    ReaderFixture f;
    FakeConnection c(f.listener);
    c.Deliver(req.substr(0, cut));
    EXPECT_FALSE(c.AwaitingWrite());
    c.Deliver(req.substr(cut));
    EXPECT_EQ(c.ReqState, ZReqtype::REQ_DONE);
    EXPECT_EQ(c.Method, "POST");
    EXPECT_EQ(c.ContentLength, 5);
    EXPECT_TRUE(c.AwaitingWrite());
  }
}

struct BodyCase {
  const char* name;
  std::string request;
  std::string body;  // what the request body held when the request completed
  bool complete;
};

class RequestBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(RequestBody, CollectsAnnouncedBytes) {
  ReaderFixture f;
  FakeConnection c(f.listener);
  std::string body;
  // Watch the body at completion, before the answer replaces anything.
  c.Deliver(GetParam().request);
  EXPECT_EQ(c.ReqState == ZReqtype::REQ_DONE, GetParam().complete);
  if (c.Body) {
    EXPECT_EQ(c.BodyText(), GetParam().body);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , RequestBody,
    ::testing::Values(
        BodyCase{"BodyInSameRead", "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", "hello", true},
        BodyCase{"ExtraBytesDropped", "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n01234567890123456789",
                 "0123456789", true},
        BodyCase{"ShortBodyWaits", "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n0123", "0123", false},
        BodyCase{"NoLengthBodyIgnored", "GET /x HTTP/1.0\r\n\r\nstray bytes", "", true},
        BodyCase{"ZeroLengthCompletesAtBlankLine", "POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "", true},
        BodyCase{"BlankLineFirstCompletes", "\r\n", "", true}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, NothingMoreIsReadAfterTheRequest) {
  ReaderFixture f;
  FakeConnection c(f.listener);
  c.Deliver("GET /missing HTTP/1.0\r\n\r\n");
  const std::string first = c.Sent();
  c.Deliver("GET /other HTTP/1.0\r\n\r\n");  // a second request on the same connection
  EXPECT_EQ(c.Sent(), first);
  EXPECT_EQ(c.URL, "/missing");
}

struct LimitCase {
  const char* name;
  std::string request;
  bool refused;  // answered 400 at once
};

std::string Line(std::size_t n) { return std::string(n, 'a'); }

std::string Headers(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
  return s;
}

class RequestLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(RequestLimits, RefusesWhatIsTooLargeOrMalformed) {
  ReaderFixture f;
  FakeConnection c(f.listener);
  // Fed in reads of at most 8192 bytes, as the socket delivers them.
  const std::string& req = GetParam().request;
  for (std::size_t at = 0; at < req.size() && !c.AwaitingWrite(); at += 8192) c.Deliver(req.substr(at, 8192));
  if (GetParam().refused) {
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(c.Sent().rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << c.Sent().substr(0, 40);
  } else {
    EXPECT_EQ(c.Sent().find("400 Bad Request"), std::string::npos) << c.Sent().substr(0, 40);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , RequestLimits,
    ::testing::Values(
        LimitCase{"RequestLine8193Refused", "GET /" + Line(8193 - 14) + " HTTP/1.0\r\n\r\n", true},
        LimitCase{"HeaderLine8192Accepted", "GET / HTTP/1.0\r\nX: " + Line(8189) + "\r\n\r\n", false},
        LimitCase{"HeaderLine8193Refused", "GET / HTTP/1.0\r\nX: " + Line(8190) + "\r\n\r\n", true},
        LimitCase{"HundredHeadersAccepted", "GET / HTTP/1.0\r\n" + Headers(100) + "\r\n", false},
        LimitCase{"HundredAndOneHeadersRefused", "GET / HTTP/1.0\r\n" + Headers(101) + "\r\n", true},
        LimitCase{"HeaderBlockOver64KiBRefused",
                  "GET / HTTP/1.0\r\n" + [] {
                    std::string s;
                    for (int i = 0; i < 9; ++i) s += "X-" + std::to_string(i) + ": " + Line(8000) + "\r\n";
                    return s;
                  }() + "\r\n",
                  true},
        LimitCase{"LengthNotANumber", "POST / HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", true},
        LimitCase{"LengthNegative", "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n", true},
        LimitCase{"LengthHex", "POST / HTTP/1.0\r\nContent-Length: 0x10\r\n\r\n", true},
        LimitCase{"LengthOverLimit", "POST / HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n", true},
        LimitCase{"LengthHuge", "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", true},
        LimitCase{"LengthsDisagree", "POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", true},
        LimitCase{"LengthAtLimitAccepted", "POST / HTTP/1.0\r\nContent-Length: 16777216\r\n\r\n", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

// The protocol core over an imaginary socket whose write readiness comes only after the file
// being answered has grown: what is sent must still be what the heading announced.
class GrowingFileConnection final : public server::HttpConnection {
 public:
  GrowingFileConnection(FakeListener& listener, std::filesystem::path file)
      : HttpConnection(listener), file_(std::move(file)) {}
  std::string sent;

 protected:
  int ReadSome(char* into, int max) override {
    if (request_.empty()) return -1;
    const int n = std::min<int>(max, static_cast<int>(request_.size()));
    request_.copy(into, static_cast<std::size_t>(n));
    request_.erase(0, static_cast<std::size_t>(n));
    return n;
  }
  void WriteAll(std::string_view bytes) override { sent += bytes; }
  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override {
    char piece[4096];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) sent.append(piece, static_cast<std::size_t>(n));
  }
  void CloseNow() override {}
  void AwaitWritable() override {
    std::ofstream(file_, std::ios::app) << "-and-more-written-after-the-heading";
    OnWrites();
  }
  std::string LocalHostName() const override { return {}; }

 private:
  std::string request_ = "GET /log.txt HTTP/1.0\r\n\r\n";
  std::filesystem::path file_;
};

TEST(RequestReader, AFileThatGrowsWhileAnsweredSendsTheAnnouncedLength) {
  ReaderFixture f;
  const auto file = f.root.Write("log.txt", "0123456789");
  GrowingFileConnection c(f.listener, file);
  c.OnReads();
  EXPECT_NE(c.sent.find("Content-Length: 10\r\n"), std::string::npos) << c.sent;
  EXPECT_TRUE(c.sent.ends_with("\r\n\r\n0123456789")) << c.sent;
}

}  // namespace
}  // namespace quorvin::testing
