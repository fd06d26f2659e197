#include "quorvin/server/request_reader.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace quorvin::server {
namespace {

const ReaderOptions kHttp11{.http11_bodies = true};

// The reader fed `bytes` in one piece.
struct Fed {
  explicit Fed(std::string_view bytes, ReaderOptions options = {}) : reader(options) {
    result = reader.Feed(bytes, used);
  }

  RequestReader reader;
  ReadResult result;
  std::size_t used = 0;
};

struct LineCase {
  const char* name;
  std::string request;
  std::string method, url, version, query, raw_path;
  bool has_query;
};

class RequestLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(RequestLine, SplitsIntoFields) {
  Fed f(GetParam().request + "\r\n");
  ASSERT_EQ(f.result, ReadResult::kDone);
  EXPECT_EQ(f.reader.Method(), GetParam().method);
  EXPECT_EQ(f.reader.URL(), GetParam().url);
  EXPECT_EQ(f.reader.Version(), GetParam().version);
  EXPECT_EQ(f.reader.Query(), GetParam().query);
  EXPECT_EQ(f.reader.RawPath(), GetParam().raw_path);
  EXPECT_EQ(f.reader.HasQuery(), GetParam().has_query);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestLine,
    ::testing::Values(
        LineCase{"PathDecodedQueryKept", "GET /a%20b.htm?x=1%202 HTTP/1.0\r\n", "GET", "/a b.htm",
                 "HTTP/1.0", "x=1%202", "/a%20b.htm", true},
        LineCase{"DoubleSpaces", "GET  /a.htm  HTTP/1.0\r\n", "GET", "/a.htm", "HTTP/1.0", "",
                 "/a.htm", false},
        LineCase{"NoVersion", "GET /a.htm\r\n", "GET", "/a.htm", "", "", "/a.htm", false},
        LineCase{"NoVersionTrailingBlanks", "GET /a.htm \t\r\n", "GET", "/a.htm", "", "", "/a.htm",
                 false},
        LineCase{"TabBeforeVersionStaysInPath", "GET /a\t HTTP/1.0\r\n", "GET", "/a\t", "HTTP/1.0",
                 "", "/a\t", false},
        LineCase{"NoSpaceRecordsNothing", "GET/a.htm\r\n", "", "", "", "", "", false},
        LineCase{"LeadingSpaceEmptyMethod", " /a.htm HTTP/1.0\r\n", "", "/a.htm", "HTTP/1.0", "",
                 "/a.htm", false},
        LineCase{"BareLineFeed", "HEAD /x HTTP/1.0\n", "HEAD", "/x", "HTTP/1.0", "", "/x", false},
        LineCase{"CarriageReturnInsideDropped", "GET /a\rb HTTP/1.0\r\n", "GET", "/ab", "HTTP/1.0",
                 "", "/ab", false},
        LineCase{"NulAddsNothing", std::string("GET /a\0b HTTP/1.0\r\n", 19), "GET", "/ab",
                 "HTTP/1.0", "", "/ab", false},
        LineCase{"PlusKeptInPath", "GET /a+b HTTP/1.0\r\n", "GET", "/a+b", "HTTP/1.0", "", "/a+b",
                 false},
        LineCase{"EmptyQuery", "GET /p? HTTP/1.0\r\n", "GET", "/p", "HTTP/1.0", "", "/p", true},
        LineCase{"QueryOnlyFirstQuestionMark", "GET /p?a=1?b HTTP/1.1\r\n", "GET", "/p", "HTTP/1.1",
                 "a=1?b", "/p", true}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, HeaderNamesLowerCasedValuesKept) {
  Fed f(
      "GET / HTTP/1.0\r\n"
      "Content-Type: Text/HTML\r\n"
      "Cookie:Session=AbC\r\n"
      "X-Pad: \t  spaced out \t\r\n"
      "No colon here\r\n"
      "Odd :name\r\n"
      "Dup: 1\r\nDup: 2\r\n");
  EXPECT_EQ(f.result, ReadResult::kNeedMore);
  const platform::TStringList& headers = f.reader.Headers();
  ASSERT_EQ(headers.Count(), 6);
  EXPECT_EQ(headers[0], "content-type=Text/HTML");
  EXPECT_EQ(headers[1], "cookie=Session=AbC");
  EXPECT_EQ(headers[2], "x-pad=spaced out");
  EXPECT_EQ(headers[3], "odd =name");  // a blank before the colon stays in the name
  EXPECT_EQ(headers.Values("DUP"), "1");
}

// Everything the reader made of a request, to compare two readings of the same bytes. How many
// bytes a refused request used does not matter: nothing more is read.
std::string Reading(RequestReader& r, ReadResult result, std::size_t used) {
  if (result == ReadResult::kRefused) used = 0;
  std::string s = std::to_string(static_cast<int>(result)) + "|" + std::to_string(used) + "|" +
                  std::to_string(static_cast<int>(r.ReqState())) + "|" + r.Method() + "|" +
                  r.URL() + "|" + r.Version() + "|" + r.Query() + "|" + r.RawPath() + "|" +
                  std::to_string(r.ContentLength()) + "|" + std::string(r.Body().View()) + "|";
  for (const std::string& h : r.Headers()) s += h + ";";
  return s;
}

// Feeds `req` whole, then in two pieces cut at every position, and expects the same reading
// each time; returns the reading of the whole.
std::string ExpectSameWhereverSplit(const std::string& req, ReaderOptions options) {
  Fed whole(req, options);
  const std::string expected = Reading(whole.reader, whole.result, whole.used);
  for (std::size_t cut = 1; cut < req.size(); ++cut) {
    SCOPED_TRACE(req.substr(0, cut) + "|" + req.substr(cut));
    RequestReader r(options);
    std::size_t used = 0;
    ReadResult result = r.Feed(std::string_view(req).substr(0, cut), used);
    std::size_t total = used;
    if (result == ReadResult::kNeedMore) {
      EXPECT_EQ(used, cut);  // all of it taken
      result = r.Feed(std::string_view(req).substr(cut), used);
      total += used;
    }
    EXPECT_EQ(Reading(r, result, total), expected);
  }
  return expected;
}

TEST(RequestReader, SameResultWhereverTheReadsSplit) {
  const std::string requests[] = {
      "POST /f?q=1 HTTP/1.0\r\nContent-Length:5\r\nX-A: b\r\n\r\nhello",
      "GET /a%20b HTTP/1.0\nHost: h\r\n\nnext request",
      "POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc"};
  for (const std::string& req : requests) {
    // Without chunks or an encoding, reading HTTP/1.1 bodies reads the same request.
    EXPECT_EQ(ExpectSameWhereverSplit(req, {}), ExpectSameWhereverSplit(req, kHttp11));
  }
}

TEST(RequestReader, OneByteAtATime) {
  const std::string req = "POST /f HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello";
  RequestReader r;
  ReadResult result = ReadResult::kNeedMore;
  std::size_t used = 0;
  for (std::size_t i = 0; i < req.size(); ++i) {
    ASSERT_EQ(result, ReadResult::kNeedMore) << i;
    result = r.Feed(std::string_view(req).substr(i, 1), used);
  }
  EXPECT_EQ(result, ReadResult::kDone);
  EXPECT_EQ(r.Body().View(), "hello");
}

struct BodyCase {
  const char* name;
  std::string request;
  ReadResult result;
  std::string body;  // what the body held after the bytes
  std::size_t used;  // of the request's bytes
};

class RequestBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(RequestBody, TakesTheAnnouncedBytes) {
  Fed f(GetParam().request);
  EXPECT_EQ(f.result, GetParam().result);
  EXPECT_EQ(f.reader.Body().View(), GetParam().body);
  EXPECT_EQ(f.used, GetParam().used);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestBody,
    ::testing::Values(
        BodyCase{"BodyInSameRead", "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
                 ReadResult::kDone, "hello", 44},
        BodyCase{"BytesBeyondTheLengthUnused",
                 "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n01234567890123456789",
                 ReadResult::kDone, "0123456789", 50},
        BodyCase{"ShortBodyWaits", "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\n0123",
                 ReadResult::kNeedMore, "0123", 44},
        BodyCase{"NoLengthBytesAfterBlankLineUnused", "GET /x HTTP/1.0\r\n\r\nstray bytes",
                 ReadResult::kDone, "", 19},
        BodyCase{"ZeroLengthCompletesAtBlankLine",
                 "POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\nnext", ReadResult::kDone, "", 39},
        BodyCase{"BlankLineFirstCompletes", "\r\nGET / HTTP/1.0\r\n\r\n", ReadResult::kDone, "", 2},
        // Without http11_bodies, Transfer-Encoding is a header like any other.
        BodyCase{"ChunksNotReadWithoutOption",
                 "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
                 ReadResult::kDone, "", 48},
        BodyCase{"LengthReadDespiteEncodingWithoutOption",
                 "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n"
                 "5\r\nhello\r\n0\r\n\r\n",
                 ReadResult::kDone, "5\r\nhe", 72},
        BodyCase{"BlankBeforeColonKeptWithoutOption",
                 "POST /x HTTP/1.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 2\r\n\r\nab",
                 ReadResult::kDone, "ab", 70}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, TakesNothingOnceDone) {
  Fed done("GET /a HTTP/1.0\r\n\r\n");
  std::size_t used = 99;
  EXPECT_EQ(done.reader.Feed("GET /b HTTP/1.0\r\n\r\n", used), ReadResult::kDone);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(done.reader.URL(), "/a");

  Fed refused("GET / HTTP/1.0\r\nContent-Length: x\r\n\r\n");
  EXPECT_EQ(refused.reader.Feed("more", used), ReadResult::kRefused);
  EXPECT_EQ(refused.reader.RefusalStatus(), 400);
}

struct LimitCase {
  const char* name;
  std::string request;
  int refused;  // the status of the refusal, 0 for none
};

std::string Line(std::size_t n) { return std::string(n, 'a'); }

std::string HeaderLines(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
  return s;
}

class RequestLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(RequestLimits, RefusesWhatIsTooLargeOrMalformed) {
  // In pieces of at most 8192 bytes, as a connection reads them.
  const std::string& req = GetParam().request;
  RequestReader r;
  ReadResult result = ReadResult::kNeedMore;
  for (std::size_t at = 0; at < req.size() && result == ReadResult::kNeedMore; at += 8192) {
    std::size_t used = 0;
    result = r.Feed(std::string_view(req).substr(at, 8192), used);
  }
  EXPECT_EQ(result == ReadResult::kRefused, GetParam().refused != 0);
  EXPECT_EQ(r.RefusalStatus(), GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestLimits,
    ::testing::Values(
        LimitCase{"RequestLine8192Accepted", "GET /" + Line(8192 - 14) + " HTTP/1.0\r\n\r\n",
                  0},
        LimitCase{"RequestLine8193Refused", "GET /" + Line(8193 - 14) + " HTTP/1.0\r\n\r\n", 400},
        LimitCase{"HeaderLine8192Accepted", "GET / HTTP/1.0\r\nX: " + Line(8189) + "\r\n\r\n",
                  0},
        LimitCase{"HeaderLine8193Refused", "GET / HTTP/1.0\r\nX: " + Line(8190) + "\r\n\r\n", 400},
        LimitCase{"CarriageReturnsNotCounted",
                  "GET / HTTP/1.0\r\nX: " + Line(8189) + "\r\r\r\n\r\n", 0},
        LimitCase{"HundredHeadersAccepted", "GET / HTTP/1.0\r\n" + HeaderLines(100) + "\r\n",
                  0},
        LimitCase{"HundredAndOneHeadersRefused", "GET / HTTP/1.0\r\n" + HeaderLines(101) + "\r\n",
                  400},
        LimitCase{"LinesWithoutColonCount",
                  "GET / HTTP/1.0\r\n" + HeaderLines(100) + "no colon\r\n\r\n", 400},
        LimitCase{"HeaderBlockOver64KiBRefused",
                  "GET / HTTP/1.0\r\n" +
                      [] {
                        std::string s;
                        for (int i = 0; i < 9; ++i)
                          s += "X-" + std::to_string(i) + ": " + Line(8000) + "\r\n";
                        return s;
                      }() +
                      "\r\n",
                  400},
        LimitCase{"LengthNotANumber", "POST / HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", 400},
        LimitCase{"LengthEmpty", "POST / HTTP/1.0\r\nContent-Length:\r\n\r\n", 400},
        LimitCase{"LengthNegative", "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n", 400},
        LimitCase{"LengthPlusSign", "POST / HTTP/1.0\r\nContent-Length: +1\r\n\r\n", 400},
        LimitCase{"LengthHex", "POST / HTTP/1.0\r\nContent-Length: 0x10\r\n\r\n", 400},
        LimitCase{"LengthWithLeadingZerosRead",
                  "POST / HTTP/1.0\r\nContent-Length: 0000000001\r\n\r\n", 0},
        LimitCase{"LengthOverLimit", "POST / HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n", 413},
        LimitCase{"LengthHuge", "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n",
                  413},
        LimitCase{"LengthsDisagree",
                  "POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        LimitCase{"LengthsAgree",
                  "POST / HTTP/1.0\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab", 0},
        LimitCase{"LengthAtLimitAccepted", "POST / HTTP/1.0\r\nContent-Length: 16777216\r\n\r\n",
                  0}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, TheBodyLimitIsTheConnections) {
  struct Case {
    const char* request;
    ReadResult result;
    int status;
  };
  const Case cases[] = {
      {"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", ReadResult::kDone, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n0123456789a", ReadResult::kRefused, 413},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n0\r\n\r\n",
       ReadResult::kDone, 0},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n1\r\na\r\n",
       ReadResult::kRefused, 413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RequestReader r(ReaderOptions{true, 10, kDefaultBodyMemory, nullptr});
    std::size_t used = 0;
    EXPECT_EQ(r.Feed(c.request, used), c.result);
    EXPECT_EQ(r.RefusalStatus(), c.status);
  }
}

// Beyond body_memory a body moves to a file without a name: memory stays bounded, the bytes
// stay whole, and nothing is left in the folder.
TEST(RequestReader, LargeBodiesWaitInAFileWithoutAName) {
  quorvin::testing::TempDir folder;
  std::string body(300 * 1024, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 >> 3);
  struct Case {
    const char* name;
    std::string head;
    std::string framed;  // the body as sent
  };
  std::string chunked;
  for (std::size_t at = 0; at < body.size(); at += 5000) {
    const std::string piece = body.substr(at, 5000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";
  const Case cases[] = {
      {"Length", "POST /u HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n", body},
      {"Chunked", "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", chunked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestReader r(ReaderOptions{true, kMaxBody, 64 * 1024,
                                  std::make_shared<const std::string>(folder.Str())});
    const std::string bytes = c.head + c.framed + "GET /next HTTP/1.1\r\n\r\n";
    ReadResult result = ReadResult::kNeedMore;
    std::size_t at = 0;
    for (; at < bytes.size() && result == ReadResult::kNeedMore;) {
      std::size_t used = 0;
      result = r.Feed(std::string_view(bytes).substr(at, 16 * 1024), used);
      at += used;
      if (result == ReadResult::kNeedMore && !r.BodySpooled()) {
        EXPECT_LE(r.Body().Size(), 64 * 1024);
      }
    }
    ASSERT_EQ(result, ReadResult::kDone);
    EXPECT_EQ(bytes.substr(at), "GET /next HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(r.BodySpooled());
    EXPECT_EQ(r.Body().Size(), 0);
    platform::TStream* stream = r.BodyStream();
    ASSERT_NE(stream, nullptr);
    std::string read(body.size() + 10, 'x');
    stream->SetPosition(0);
    read.resize(static_cast<std::size_t>(stream->Read(read.data(), static_cast<std::int64_t>(read.size()))));
    EXPECT_TRUE(read == body);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
  }
  // A small body stays in memory.
  RequestReader small(ReaderOptions{true, kMaxBody, 64 * 1024, nullptr});
  std::size_t used = 0;
  EXPECT_EQ(small.Feed("POST /u HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", used), ReadResult::kDone);
  EXPECT_FALSE(small.BodySpooled());
  EXPECT_EQ(small.Body().View(), "hello");
  // A folder that cannot take the file: the server's fault, said as 500.
  RequestReader nowhere(ReaderOptions{true, kMaxBody, 4,
                                      std::make_shared<const std::string>(folder.Str() + "/missing")});
  EXPECT_EQ(nowhere.Feed("POST /u HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", used),
            ReadResult::kRefused);
  EXPECT_EQ(nowhere.RefusalStatus(), 500);
}

TEST(RequestReader, ADiscardedBodyIsCountedNotKept) {
  RequestReader r(kHttp11);
  std::size_t used = 0;
  EXPECT_EQ(r.Feed("POST /f HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + std::string(1000, 'a'), used),
            ReadResult::kNeedMore);
  r.DiscardBody();
  const std::string rest = std::string(1999000, 'b') + "GET /next HTTP/1.1\r\n\r\n";
  EXPECT_EQ(r.Feed(rest, used), ReadResult::kDone);
  EXPECT_EQ(rest.substr(used), "GET /next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.BodyStream(), nullptr);
}

// A request whose body comes in chunks, as `framing` frames it.
std::string Chunked(std::string_view framing, std::string_view encoding = "chunked") {
  return "POST /f HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: " + std::string(encoding) + "\r\n\r\n" +
         std::string(framing);
}

constexpr std::string_view kNextRequest = "GET /next HTTP/1.1\r\n\r\n";

struct ChunkedCase {
  const char* name;
  std::string request;
  std::string body;  // decoded
};

class ChunkedBody : public ::testing::TestWithParam<ChunkedCase> {};

TEST_P(ChunkedBody, DecodedWhereverTheReadsSplit) {
  // The next request follows at once: the chunked one must end exactly where its framing does.
  const std::string bytes = GetParam().request + std::string(kNextRequest);
  Fed f(bytes, kHttp11);
  ASSERT_EQ(f.result, ReadResult::kDone);
  EXPECT_EQ(f.used, GetParam().request.size());
  EXPECT_EQ(f.reader.Body().View(), GetParam().body);
  EXPECT_EQ(f.reader.ContentLength(), static_cast<std::int32_t>(GetParam().body.size()));
  EXPECT_EQ(f.reader.Headers().Count(), 2);  // trailers are not headers
  ExpectSameWhereverSplit(bytes, kHttp11);
}

INSTANTIATE_TEST_SUITE_P(
    , ChunkedBody,
    ::testing::Values(
        ChunkedCase{"SeveralChunks", Chunked("5\r\nhello\r\n1\r\n \r\n5\r\nworld\r\n0\r\n\r\n"),
                    "hello world"},
        ChunkedCase{"ExtensionsIgnored",
                    Chunked("5;a=b\r\nhello\r\n6 ; c=\"d;e\"\r\n world\r\n0;f\r\n\r\n"),
                    "hello world"},
        ChunkedCase{"BlanksAfterSize", Chunked("5 \t\r\nhello\r\n0 \r\n\r\n"), "hello"},
        ChunkedCase{"HexOfEitherCaseAndLeadingZeros",
                    Chunked("0a\r\n0123456789\r\n00B\r\nabcdefghijk\r\n000\r\n\r\n"),
                    "0123456789abcdefghijk"},
        ChunkedCase{"DataHoldsLineEnds", Chunked("4\r\n\r\n\r\n\r\n3\r\n0\r\n\r\n0\r\n\r\n"),
                    "\r\n\r\n0\r\n"},
        ChunkedCase{"DataHoldsNul", Chunked(std::string("3\r\na\0b\r\n0\r\n\r\n", 13)),
                    std::string("a\0b", 3)},
        ChunkedCase{"TrailersDropped", Chunked("5\r\nhello\r\n0\r\nX-Sum: 1\r\nNo colon\r\n\r\n"),
                    "hello"},
        ChunkedCase{"BareLineFeeds", Chunked("5\nhello\n0\nX-Sum: 1\n\n"), "hello"},
        ChunkedCase{"NoChunks", Chunked("0\r\n\r\n"), ""},
        ChunkedCase{"EncodingOfAnyCaseWithBlanks", Chunked("2\r\nok\r\n0\r\n\r\n", " ChunKed \t"),
                    "ok"}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct RefusalCase {
  const char* name;
  std::string request;
  int status;  // 0: not refused
};

// A chunked request whose head holds `lines` header lines of `size` characters besides its
// Transfer-Encoding, and whose last chunk is followed by `trailers`.
std::string WithTrailers(int lines, const std::string& trailers, std::size_t size = 4) {
  std::string s = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
  for (int i = 0; i < lines; ++i) s += "X: " + Line(size - 3) + "\r\n";
  return s + "\r\n0\r\n" + trailers + "\r\n";
}

// What is left of the 64 KiB of header lines after "Transfer-Encoding: chunked" and eight lines
// of 8000 characters.
constexpr std::size_t kTrailerRoom = 64 * 1024 - 26 - 8 * 8000;

class Http11Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Http11Refusals, RefuseWhatCouldBeReadTwoWays) {
  // In pieces of at most 8192 bytes, as a connection reads them.
  const std::string& req = GetParam().request;
  RequestReader r(kHttp11);
  ReadResult result = ReadResult::kNeedMore;
  for (std::size_t at = 0; at < req.size() && result == ReadResult::kNeedMore; at += 8192) {
    std::size_t used = 0;
    result = r.Feed(std::string_view(req).substr(at, 8192), used);
  }
  EXPECT_EQ(result == ReadResult::kRefused, GetParam().status != 0);
  EXPECT_EQ(r.RefusalStatus(), GetParam().status);
  EXPECT_TRUE(r.HeadComplete());  // each is refused, if at all, after its head
}

INSTANTIATE_TEST_SUITE_P(
    Framing, Http11Refusals,
    ::testing::Values(
        RefusalCase{"SizeNotHex", Chunked("5x\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"SizeWithHexPrefix", Chunked("0x5\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"SizeSigned", Chunked("+5\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"SizeMissing", Chunked(";a=b\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"SizeLineEmpty", Chunked("\r\n5\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"BlankBeforeSize", Chunked(" 5\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"BlankInsideSize", Chunked("5 5\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"BareCarriageReturnInSizeLine", Chunked("5\rhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"BareCarriageReturnInExtension", Chunked("5;a\rb\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"NoLineEndAfterData", Chunked("5\r\nhelloX\r\n0\r\n\r\n"), 400},
        RefusalCase{"BareCarriageReturnAfterData", Chunked("5\r\nhello\r0\r\n\r\n"), 400},
        RefusalCase{"SizeLargerThanData", Chunked("7\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"SizeLineOf1024Accepted",
                    Chunked("5;" + std::string(1022, 'a') + "\r\nhello\r\n0\r\n\r\n"), 0},
        RefusalCase{"SizeLineOf1025Refused",
                    Chunked("5;" + std::string(1023, 'a') + "\r\nhello\r\n0\r\n\r\n"), 400},
        RefusalCase{"ManyLeadingZerosAccepted",
                    Chunked(std::string(1000, '0') + "5\r\nhello\r\n0\r\n\r\n"), 0},
        // Over the body limit by the size line alone: no test need send 16 MiB.
        RefusalCase{"SizeOf16MiBAccepted", Chunked("1000000\r\n"), 0},
        RefusalCase{"SizeOver16MiBRefused", Chunked("1000001\r\n"), 413},
        RefusalCase{"SizeOverflowingRefused", Chunked("10000000000000005\r\nhello\r\n"), 413},
        RefusalCase{"HundredLinesWithTrailersAccepted", WithTrailers(49, HeaderLines(50)), 0},
        RefusalCase{"HundredAndOneLinesWithTrailersRefused", WithTrailers(49, HeaderLines(51)),
                    400},
        RefusalCase{"HeaderBytesWithTrailersAt64KiBAccepted",
                    WithTrailers(8, "T: " + Line(kTrailerRoom - 3) + "\r\n", 8000), 0},
        RefusalCase{"HeaderBytesWithTrailersOver64KiBRefused",
                    WithTrailers(8, "T: " + Line(kTrailerRoom - 2) + "\r\n", 8000), 400},
        RefusalCase{"TrailerLineOf8193Refused", Chunked("0\r\nX: " + Line(8190) + "\r\n\r\n"),
                    400}),
    [](const auto& tc) { return std::string(tc.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Smuggling, Http11Refusals,
    ::testing::Values(
        RefusalCase{"LengthThenEncoding",
                    "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "0\r\n\r\n",
                    400},
        RefusalCase{"EncodingThenZeroLength",
                    "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n",
                    400},
        RefusalCase{"GzipThenChunked", Chunked("0\r\n\r\n", "gzip, chunked"), 400},
        RefusalCase{"ChunkedTwiceInOneHeader", Chunked("0\r\n\r\n", "chunked, chunked"), 400},
        RefusalCase{"ChunkedInTwoHeaders",
                    Chunked("0\r\n\r\n", "chunked\r\nTransfer-Encoding: chunked"), 400},
        RefusalCase{"GzipHeaderThenChunkedHeader",
                    Chunked("0\r\n\r\n", "gzip\r\nTransfer-Encoding: chunked"), 400},
        RefusalCase{"Identity", Chunked("", "identity"), 400},
        RefusalCase{"PrefixedChunked", Chunked("0\r\n\r\n", "xchunked"), 400},
        RefusalCase{"ChunkedWithParameter", Chunked("0\r\n\r\n", "chunked;q=1"), 400},
        RefusalCase{"ChunkedThenVerticalTab", Chunked("0\r\n\r\n", "chunked\v"), 400},
        RefusalCase{"EmptyEncoding", Chunked("0\r\n\r\n", ""), 400},
        RefusalCase{"EncodingFoldedOntoNextLine", Chunked("0\r\n\r\n", "\r\n chunked"), 400},
        // Another party may trim a blank around a name and read chunks where this reader would
        // read none, so any name with blanks around it is refused.
        RefusalCase{"BlankBeforeColon",
                    "POST / HTTP/1.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 3\r\n\r\n"
                    "0\r\n\r\n",
                    400},
        RefusalCase{"BlankBeforeName",
                    "POST / HTTP/1.1\r\nHost: h\r\n\tTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                    400},
        RefusalCase{"BlankBeforeColonOfAnyName", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", 400},
        RefusalCase{"EncodingInHttp10Request",
                    "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"LengthsDisagree",
                    "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        // A folded line continues the one before it for some parties: "Content-Length: 0"
        // then " 35" is 0 here and 35 (or "0 35") there.
        RefusalCase{"FoldedLengthLine",
                    "POST / HTTP/1.1\r\nContent-Length: 0\r\n 35\r\n\r\n", 400},
        RefusalCase{"FoldedLineWithTab", "GET / HTTP/1.1\r\nX-A: b\r\n\tc\r\n\r\n", 400},
        RefusalCase{"BlankInsideName", "POST / HTTP/1.1\r\nContent Length: 3\r\n\r\nabc", 400},
        RefusalCase{"TabInsideName", "GET / HTTP/1.1\r\nX\tY: z\r\n\r\n", 400},
        RefusalCase{"NulInValue", std::string("GET / HTTP/1.1\r\nX-A: b\0c\r\n\r\n", 28), 400},
        RefusalCase{"NulInName", std::string("GET / HTTP/1.1\r\nX\0A: b\r\n\r\n", 26), 400},
        RefusalCase{"BlanksInValueAccepted", "GET / HTTP/1.1\r\nX-A: b c\t d\r\n\r\n", 0},
        RefusalCase{"TrailingBlankAccepted", Chunked("0\r\n\r\n", "chunked "), 0},
        RefusalCase{"OtherNameIsAnotherHeader",
                    "POST / HTTP/1.1\r\nTransfer_Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc",
                    0}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, AmbiguousLinesReadAsBeforeWhenNoRequestFollows) {
  // A connection that closes after each answer reads no request after this one: the lines keep
  // their old reading (a folded line has no colon and is ignored).
  for (const std::string& request :
       {std::string("GET / HTTP/1.0\r\nContent-Length: 0\r\n 35\r\n\r\n"),
        std::string("GET / HTTP/1.0\r\nContent Length: 3\r\n\r\n"),
        std::string("GET / HTTP/1.0\r\nX-A: b\0c\r\n\r\n", 28)}) {
    Fed f(request);
    EXPECT_EQ(f.result, ReadResult::kDone) << request;
  }
}

struct HeadCase {
  const char* name;
  std::string request;
  RequestHead head;
};

class HeadFacts : public ::testing::TestWithParam<HeadCase> {};

TEST_P(HeadFacts, RecordedOnceAsTheHeadEnds) {
  Fed f(GetParam().request, kHttp11);
  const RequestHead& got = f.reader.Head();
  const RequestHead& want = GetParam().head;
  EXPECT_EQ(got.minor_version, want.minor_version);
  EXPECT_EQ(got.chunked, want.chunked);
  EXPECT_EQ(got.close, want.close);
  EXPECT_EQ(got.keep_alive, want.keep_alive);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeadFacts,
    ::testing::Values(
        HeadCase{"Http10", "GET / HTTP/1.0\r\n\r\n", {.minor_version = 0}},
        HeadCase{"Http11", "GET / HTTP/1.1\r\n\r\n", {.minor_version = 1}},
        HeadCase{"LaterMinor", "GET / HTTP/1.12\r\n\r\n", {.minor_version = 12}},
        HeadCase{"LowerCaseIsNoVersion", "GET / http/1.1\r\n\r\n", {.minor_version = -1}},
        HeadCase{"OtherMajor", "GET / HTTP/2.0\r\n\r\n", {.minor_version = -1}},
        HeadCase{"NoVersion", "GET /\r\n\r\n", {.minor_version = -1}},
        HeadCase{"SignedMinor", "GET / HTTP/1.+1\r\n\r\n", {.minor_version = -1}},
        HeadCase{"ConnectionList", "GET / HTTP/1.0\r\nConnection: Keep-Alive, TE\r\nConnection: x, CLOSE\r\n\r\n",
                 {.minor_version = 0, .close = true, .keep_alive = true}},
        HeadCase{"OptionPrefixIsNotTheOption", "GET / HTTP/1.1\r\nConnection: closed\r\n\r\n",
                 {.minor_version = 1}},
        HeadCase{"Chunked", Chunked("0\r\n\r\n"), {.minor_version = 1, .chunked = true}}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct ContinueCase {
  const char* name;
  ReaderOptions options;
  std::string head;  // a whole head, without its body
  bool expects;
};

class ExpectContinue : public ::testing::TestWithParam<ContinueCase> {};

TEST_P(ExpectContinue, OnlyWhileTheBodyIsDue) {
  Fed f(GetParam().head, GetParam().options);
  EXPECT_TRUE(f.reader.HeadComplete());
  EXPECT_EQ(f.reader.ExpectsContinue(), GetParam().expects);
}

INSTANTIATE_TEST_SUITE_P(
    , ExpectContinue,
    ::testing::Values(
        ContinueCase{"LengthAnnounced", kHttp11,
                     "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", true},
        ContinueCase{"ChunksAnnounced", kHttp11, Chunked("", "chunked\r\nExpect: 100-Continue"),
                     true},
        ContinueCase{"BodyAlreadyWhole", kHttp11,
                     "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nab",
                     false},
        ContinueCase{"ZeroLength", kHttp11,
                     "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 0\r\n\r\n", false},
        ContinueCase{"NoBody", kHttp11, "GET / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", false},
        ContinueCase{"OtherExpectation", kHttp11,
                     "POST / HTTP/1.1\r\nExpect: 100-continued\r\nContent-Length: 5\r\n\r\n",
                     false},
        ContinueCase{"Refused", kHttp11,
                     "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n"
                     "Transfer-Encoding: chunked\r\n\r\n",
                     false},
        ContinueCase{"Http10Request", kHttp11,
                     "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", false},
        ContinueCase{"WithoutOption",
                     {},
                     "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n",
                     false}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(RequestReader, ExpectsContinueFromHeadToLastChunk) {
  RequestReader r(kHttp11);
  std::size_t used = 0;
  const std::string head = Chunked("", "chunked\r\nExpect: 100-continue");
  r.Feed(std::string_view(head).substr(0, head.size() - 1), used);
  EXPECT_FALSE(r.HeadComplete());
  EXPECT_FALSE(r.ExpectsContinue());
  r.Feed(std::string_view(head).substr(head.size() - 1), used);
  EXPECT_TRUE(r.HeadComplete());
  EXPECT_TRUE(r.ExpectsContinue());
  for (std::string_view part : {"5\r\nhello\r\n", "0\r\nX-Sum: 1\r\n"}) {
    EXPECT_EQ(r.Feed(part, used), ReadResult::kNeedMore);
    EXPECT_TRUE(r.ExpectsContinue()) << part;
  }
  EXPECT_EQ(r.Feed("\r\n", used), ReadResult::kDone);
  EXPECT_FALSE(r.ExpectsContinue());
  EXPECT_TRUE(r.HeadComplete());
}

TEST(RequestReader, ChunkedBodyHandedOverOnce) {
  Fed f(Chunked("5\r\nhello\r\n0\r\n\r\n"), kHttp11);
  const std::unique_ptr<platform::TMemoryStream> body = f.reader.TakeBody();
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->View(), "hello");
  EXPECT_EQ(f.reader.Body().View(), "");
  EXPECT_EQ(f.reader.ContentLength(), 5);
}

// A connection that reads request after request from the same bytes, as a kept connection
// does: each reading ends with the offset where its request ended.
class Pipeline {
 public:
  void Deliver(std::string_view bytes) {
    while (!bytes.empty() && !refused_) {
      std::size_t used = 0;
      const ReadResult result = reader_.Feed(bytes, used);
      ASSERT_LE(used, bytes.size());
      offset_ += used;
      bytes.remove_prefix(used);
      if (result == ReadResult::kNeedMore) {
        ASSERT_TRUE(bytes.empty()) << "asked for more without taking every byte";
        return;
      }
      readings_.push_back(Reading(reader_, result, 0) + "@" + std::to_string(offset_));
      refused_ = result == ReadResult::kRefused;
      reader_.Reset();
    }
  }

  const std::vector<std::string>& Readings() const { return readings_; }

 private:
  RequestReader reader_{kHttp11};
  std::vector<std::string> readings_;
  std::size_t offset_ = 0;
  bool refused_ = false;
};

TEST(RequestReader, PipelinedRequestsEndExactlyWhereTheirBytesDo) {
  const std::string get = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string chunked = Chunked("3\r\nabc\r\n2;x\r\nde\r\n0\r\nX-Sum: 5\r\n\r\n");
  const std::string sized =
      "POST /b HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\nfghi";
  const std::string last = "GET /c HTTP/1.1\n\n";
  const std::vector<std::vector<std::string>> streams = {
      {get, sized}, {get, chunked, last}, {chunked, sized, chunked, get}};
  for (const std::vector<std::string>& requests : streams) {
    // Each request reads as it would alone on a fresh reader, ending where its bytes do.
    std::string bytes;
    std::vector<std::string> expected;
    for (const std::string& request : requests) {
      bytes += request;
      Fed alone(request, kHttp11);
      expected.push_back(Reading(alone.reader, alone.result, 0) + "@" +
                         std::to_string(bytes.size()));
    }
    SCOPED_TRACE(bytes);
    Pipeline whole;
    whole.Deliver(bytes);
    EXPECT_EQ(whole.Readings(), expected);
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
      SCOPED_TRACE(cut);
      Pipeline split;
      split.Deliver(std::string_view(bytes).substr(0, cut));
      split.Deliver(std::string_view(bytes).substr(cut));
      EXPECT_EQ(split.Readings(), expected);
    }
    Pipeline bytewise;
    for (char c : bytes) bytewise.Deliver(std::string_view(&c, 1));
    EXPECT_EQ(bytewise.Readings(), expected);
  }
  Fed chunked_alone(chunked, kHttp11);
  EXPECT_TRUE(Reading(chunked_alone.reader, chunked_alone.result, 0)
                  .starts_with("1|0|3|POST|/f|HTTP/1.1||/f|5|abcde|"));
}

}  // namespace
}  // namespace quorvin::server
