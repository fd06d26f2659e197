#include "quorvin/server/request_reader.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::server {
namespace {

// The reader fed `bytes` in one piece.
struct Fed {
  explicit Fed(std::string_view bytes) { result = reader.Feed(bytes, used); }

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

TEST(RequestReader, SameResultWhereverTheReadsSplit) {
  const std::string requests[] = {
      "POST /f?q=1 HTTP/1.0\r\nContent-Length:5\r\nX-A: b\r\n\r\nhello",
      "GET /a%20b HTTP/1.0\nHost: h\r\n\nnext request",
      "POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc"};
  for (const std::string& req : requests) {
    Fed whole(req);
    const std::string expected = Reading(whole.reader, whole.result, whole.used);
    for (std::size_t cut = 1; cut < req.size(); ++cut) {
      SCOPED_TRACE(req.substr(0, cut) + "|" + req.substr(cut));
      RequestReader r;
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
        BodyCase{"BlankLineFirstCompletes", "\r\nGET / HTTP/1.0\r\n\r\n", ReadResult::kDone, "",
                 2}),
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
  bool refused;  // with 400
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
  EXPECT_EQ(result == ReadResult::kRefused, GetParam().refused);
  EXPECT_EQ(r.RefusalStatus(), GetParam().refused ? 400 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    , RequestLimits,
    ::testing::Values(
        LimitCase{"RequestLine8192Accepted", "GET /" + Line(8192 - 14) + " HTTP/1.0\r\n\r\n",
                  false},
        LimitCase{"RequestLine8193Refused", "GET /" + Line(8193 - 14) + " HTTP/1.0\r\n\r\n", true},
        LimitCase{"HeaderLine8192Accepted", "GET / HTTP/1.0\r\nX: " + Line(8189) + "\r\n\r\n",
                  false},
        LimitCase{"HeaderLine8193Refused", "GET / HTTP/1.0\r\nX: " + Line(8190) + "\r\n\r\n", true},
        LimitCase{"CarriageReturnsNotCounted",
                  "GET / HTTP/1.0\r\nX: " + Line(8189) + "\r\r\r\n\r\n", false},
        LimitCase{"HundredHeadersAccepted", "GET / HTTP/1.0\r\n" + HeaderLines(100) + "\r\n",
                  false},
        LimitCase{"HundredAndOneHeadersRefused", "GET / HTTP/1.0\r\n" + HeaderLines(101) + "\r\n",
                  true},
        LimitCase{"LinesWithoutColonCount",
                  "GET / HTTP/1.0\r\n" + HeaderLines(100) + "no colon\r\n\r\n", true},
        LimitCase{"HeaderBlockOver64KiBRefused",
                  "GET / HTTP/1.0\r\n" +
                      [] {
                        std::string s;
                        for (int i = 0; i < 9; ++i)
                          s += "X-" + std::to_string(i) + ": " + Line(8000) + "\r\n";
                        return s;
                      }() +
                      "\r\n",
                  true},
        LimitCase{"LengthNotANumber", "POST / HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", true},
        LimitCase{"LengthEmpty", "POST / HTTP/1.0\r\nContent-Length:\r\n\r\n", true},
        LimitCase{"LengthNegative", "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n", true},
        LimitCase{"LengthPlusSign", "POST / HTTP/1.0\r\nContent-Length: +1\r\n\r\n", true},
        LimitCase{"LengthHex", "POST / HTTP/1.0\r\nContent-Length: 0x10\r\n\r\n", true},
        LimitCase{"LengthOfTenDigitsRefused",
                  "POST / HTTP/1.0\r\nContent-Length: 0000000001\r\n\r\n", true},
        LimitCase{"LengthOverLimit", "POST / HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n", true},
        LimitCase{"LengthHuge", "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n",
                  true},
        LimitCase{"LengthsDisagree",
                  "POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", true},
        LimitCase{"LengthsAgree",
                  "POST / HTTP/1.0\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab", false},
        LimitCase{"LengthAtLimitAccepted", "POST / HTTP/1.0\r\nContent-Length: 16777216\r\n\r\n",
                  false}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace quorvin::server
