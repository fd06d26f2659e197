#include "quorvin/client/response_reader.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/server/request_reader.h"

namespace quorvin::client {
namespace {

// What the reader made of a response fed in pieces, the connection closing after the last when
// `close` says so.
struct Reading {
  ReadResult result = ReadResult::kNeedMore;  // kDone, kRefused, or kNeedMore: not over yet
  std::size_t used = 0;                       // the bytes taken, over all pieces
  int heads = 0;                              // kHead results
  std::string body;                           // the kBody runs, one after another
};

Reading Feed(ResponseReader& reader, const std::vector<std::string_view>& pieces, bool close) {
  Reading r;
  for (std::string_view piece : pieces) {
    for (;;) {
      std::size_t used = 0;
      std::string_view body;
      r.result = reader.Feed(piece, used, body);
      EXPECT_LE(used, piece.size());
      // A run of the body is the last bytes the call took.
      if (r.result == ReadResult::kBody) {
        EXPECT_EQ(body.data() + body.size(), piece.data() + used);
      } else {
        EXPECT_TRUE(body.empty());
      }
      if (r.result == ReadResult::kNeedMore) {
        EXPECT_EQ(used, piece.size()) << "more asked for before every byte was taken";
      }
      r.used += used;
      r.heads += r.result == ReadResult::kHead ? 1 : 0;
      r.body += body;
      piece.remove_prefix(used);
      if (r.result == ReadResult::kNeedMore || r.result == ReadResult::kDone ||
          r.result == ReadResult::kRefused) {
        break;
      }
    }
    if (r.result != ReadResult::kNeedMore) break;
  }
  if (close && r.result == ReadResult::kNeedMore) r.result = reader.ConnectionClosed();
  return r;
}

struct ResponseCase {
  const char* name;
  std::string bytes;  // the response
  std::string after;  // bytes that follow it and are not its own
  bool close;         // the server closes after sending
  ReadResult result;
  ResponseFault fault;
  std::string version, code, text;
  std::vector<std::string> headers;
  BodyFraming framing;
  std::int64_t length;  // ContentLength()
  std::string body;
  ResponseOptions options = {};
};

void PrintTo(const ResponseCase& c, std::ostream* os) {
  *os << c.name;
}

class ResponseReading : public ::testing::TestWithParam<ResponseCase> {
 protected:
  void Check(const ResponseReader& reader, const Reading& r) {
    const ResponseCase& p = GetParam();
    EXPECT_EQ(r.result, p.result);
    EXPECT_EQ(reader.Fault(), p.fault);
    EXPECT_EQ(reader.Version(), p.version);
    EXPECT_EQ(reader.Code(), p.code);
    EXPECT_EQ(reader.Text(), p.text);
    EXPECT_EQ(std::vector<std::string>(reader.Headers().begin(), reader.Headers().end()),
              p.headers);
    EXPECT_EQ(r.heads, reader.HeadComplete() ? 1 : 0);
    if (reader.HeadComplete()) {
      EXPECT_EQ(reader.Framing(), p.framing);
      EXPECT_EQ(reader.ContentLength(), p.length);
    }
    EXPECT_EQ(r.body, p.body);
    EXPECT_EQ(reader.BodyReceived(), static_cast<std::int64_t>(p.body.size()));
    // A response that ends takes its own bytes and none of what follows.
    if (p.result == ReadResult::kDone) {
      EXPECT_EQ(r.used, p.bytes.size());
    }
  }
};

TEST_P(ResponseReading, InOnePiece) {
  const std::string all = GetParam().bytes + GetParam().after;
  ResponseReader reader(GetParam().options);
  Check(reader, Feed(reader, {all}, GetParam().close));
}

TEST_P(ResponseReading, WhereverThePiecesSplit) {
  const std::string all = GetParam().bytes + GetParam().after;
  for (std::size_t cut = 1; cut < all.size(); ++cut) {
    SCOPED_TRACE(cut);
    ResponseReader reader(GetParam().options);
    const std::string_view v = all;
    Check(reader, Feed(reader, {v.substr(0, cut), v.substr(cut)}, GetParam().close));
  }
}

TEST_P(ResponseReading, OneByteAtATime) {
  const std::string all = GetParam().bytes + GetParam().after;
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < all.size(); ++i) bytes.push_back(std::string_view(all).substr(i, 1));
  ResponseReader reader(GetParam().options);
  Check(reader, Feed(reader, bytes, GetParam().close));
}

using enum ReadResult;
using enum ResponseFault;
using BodyFraming::kChunked;
using BodyFraming::kLength;
using BodyFraming::kNoBody;
using BodyFraming::kUntilClose;

const std::string k10 = "HTTP/1.0 200 OK\r\n";
const std::string k11 = "HTTP/1.1 200 OK\r\n";
const std::string kChunkedHead = k11 + "Transfer-Encoding: chunked\r\n\r\n";

constexpr ResponseOptions kHeadRequest{.head_request = true};
constexpr ResponseOptions kFour{.max_body = 4};

// One case in a few lines, as a table reads.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    , ResponseReading,
    ::testing::Values(
        // The head: status line parts, header entries, line ends.
        ResponseCase{"WithLength", k10 + "Content-Length: 5\r\n\r\nhello", "", false, kDone, kNone,
                     "HTTP/1.0", "200", "OK", {"content-length=5"}, kLength, 5, "hello"},
        ResponseCase{"NoBlankAfterColon", k10 + "Content-Length:5\r\n\r\nhello", "", false, kDone,
                     kNone, "HTTP/1.0", "200", "OK", {"content-length=5"}, kLength, 5, "hello"},
        ResponseCase{"ValuesKeptNamesLowered",
                     k10 + "Content-Type: Text/HTML \r\nSet-Cookie: A=B\r\nNoColon\r\n"
                     "Content-Length: 0\r\n\r\n", "", false, kDone, kNone, "HTTP/1.0", "200", "OK",
                     {"content-type=Text/HTML", "set-cookie=A=B", "content-length=0"}, kLength, 0,
                     ""},
        ResponseCase{"ExtraSpacesInStatusLine",
                     "HTTP/1.0   404   Not Found\r\nContent-Length: 2\r\n\r\nno", "", false, kDone,
                     kNone, "HTTP/1.0", "404", "Not Found", {"content-length=2"}, kLength, 2, "no"},
        ResponseCase{"BareLineFeeds", "HTTP/1.0 200 OK\nContent-Length: 3\n\nabc", "", false, kDone,
                     kNone, "HTTP/1.0", "200", "OK", {"content-length=3"}, kLength, 3, "abc"},
        ResponseCase{"StatusLineWithoutSpace", "HTTP/1.0\r\nContent-Length: 1\r\n\r\nx", "", false,
                     kDone, kNone, "", "", "", {"content-length=1"}, kLength, 1, "x"},
        ResponseCase{"BlankLineFirst", "\r\nraw bytes", "", true, kDone, kNone, "", "", "", {},
                     kUntilClose, -1, "raw bytes"},
        // Lengths: the announced bytes and no more; a length no one could rely on runs until
        // the close.
        ResponseCase{"MoreBytesThanAnnounced", k10 + "Content-Length: 3\r\n\r\nabc", "def", false,
                     kDone, kNone, "HTTP/1.0", "200", "OK", {"content-length=3"}, kLength, 3,
                     "abc"},
        ResponseCase{"BodyUntilClose", k10 + "Server: x\r\n\r\nall of it", "", true, kDone, kNone,
                     "HTTP/1.0", "200", "OK", {"server=x"}, kUntilClose, -1, "all of it"},
        ResponseCase{"EmptyBodyUntilClose", k10 + "\r\n", "", true, kDone, kNone, "HTTP/1.0", "200",
                     "OK", {}, kUntilClose, -1, ""},
        ResponseCase{"BodyUntilCloseNotOverWithoutIt", k10 + "\r\nmore to come", "", false,
                     kNeedMore, kNone, "HTTP/1.0", "200", "OK", {}, kUntilClose, -1,
                     "more to come"},
        ResponseCase{"LengthBeyond32BitsReadsUntilClose",
                     k10 + "Content-Length: 99999999999\r\n\r\nabc", "", true, kDone, kNone,
                     "HTTP/1.0", "200", "OK", {"content-length=99999999999"}, kUntilClose, -1,
                     "abc"},
        ResponseCase{"GarbageLengthReadsUntilClose", k10 + "Content-Length: 12abc\r\n\r\nabc", "",
                     true, kDone, kNone, "HTTP/1.0", "200", "OK", {"content-length=12abc"},
                     kUntilClose, -1, "abc"},
        ResponseCase{"CutShort", k10 + "Content-Length: 10\r\n\r\n0123", "", true, kRefused,
                     kCutShort, "HTTP/1.0", "200", "OK", {"content-length=10"}, kLength, 10,
                     "0123"},
        ResponseCase{"CutInTheHead", k10 + "Content-Len", "", true, kRefused, kCutShort, "HTTP/1.0",
                     "200", "OK", {}, kNoBody, 0, ""},
        // Answers whose head is the whole answer, whatever length they announce.
        ResponseCase{"HeadAnswer", k10 + "Content-Length: 4691\r\n\r\n", "next", false, kDone,
                     kNone, "HTTP/1.0", "200", "OK", {"content-length=4691"}, kNoBody, 0, "",
                     kHeadRequest},
        ResponseCase{"NotModified", "HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n",
                     "next", false, kDone, kNone, "HTTP/1.0", "304", "Not Modified",
                     {"content-length=10"}, kNoBody, 0, ""},
        ResponseCase{"NoContentWithoutReason", "HTTP/1.0 204\r\n\r\n", "next", true, kDone, kNone,
                     "HTTP/1.0", "204", "", {}, kNoBody, 0, ""},
        // Interim answers are passed over; 101 ends with its head, as another protocol follows.
        ResponseCase{"InterimAnswersPassedOver", "HTTP/1.1 100 Continue\r\n\r\n"
                     "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n" +
                     k11 + "Content-Length: 2\r\n\r\nok", "", false, kDone, kNone, "HTTP/1.1",
                     "200", "OK", {"content-length=2"}, kLength, 2, "ok"},
        ResponseCase{"SwitchingProtocolsEndsWithItsHead",
                     "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", "\x81\x02hi",
                     false, kDone, kNone, "HTTP/1.1", "101", "Switching Protocols",
                     {"upgrade=websocket"}, kNoBody, 0, ""},
        // Chunks: decoded, extensions and trailers read and dropped, framing checked.
        ResponseCase{"Chunked", kChunkedHead + "5\r\nhello\r\n6;name=\"v\"\r\n world\r\n0\r\n"
                     "X-Checksum: 1\r\n\r\n", "next", false, kDone, kNone, "HTTP/1.1", "200", "OK",
                     {"transfer-encoding=chunked"}, kChunked, -1, "hello world"},
        ResponseCase{"ChunkedUpperHexBareLineFeeds", kChunkedHead + "A\n0123456789\n0\n\n", "",
                     false, kDone, kNone, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"},
                     kChunked, -1, "0123456789"},
        ResponseCase{"ChunkedOverContentLength",
                     k11 + "Content-Length: 99\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                     "3\r\nabc\r\n0\r\n\r\n", "", false, kDone, kNone, "HTTP/1.1", "200", "OK",
                     {"content-length=99", "transfer-encoding=gzip, chunked"}, kChunked, -1, "abc"},
        ResponseCase{"ChunkedEmpty", kChunkedHead + "0\r\n\r\n", "", false, kDone, kNone,
                     "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, kChunked, -1, ""},
        ResponseCase{"OtherCodingRunsUntilClose", k11 + "Transfer-Encoding: gzip\r\n\r\n3\r\nabc",
                     "", true, kDone, kNone, "HTTP/1.1", "200", "OK", {"transfer-encoding=gzip"},
                     kUntilClose, -1, "3\r\nabc"},
        ResponseCase{"LastCodingLineDecides",
                     k11 + "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n0\r\n\r\n",
                     "", true, kDone, kNone, "HTTP/1.1", "200", "OK",
                     {"transfer-encoding=chunked", "transfer-encoding=gzip"}, kUntilClose, -1,
                     "0\r\n\r\n"},
        ResponseCase{"ChunkSizeNotHex", kChunkedHead + "5\r\nhello\r\nzz\r\n", "", false, kRefused,
                     kMalformedChunks, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"},
                     kChunked, -1, "hello"},
        ResponseCase{"ChunkSizeEmpty", kChunkedHead + "\r\n", "", false, kRefused, kMalformedChunks,
                     "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, kChunked, -1, ""},
        ResponseCase{"ChunkLongerThanItsSize", kChunkedHead + "3\r\nabcd\r\n", "", false, kRefused,
                     kMalformedChunks, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"},
                     kChunked, -1, "abc"},
        ResponseCase{"StrayCarriageReturnInSizeLine", kChunkedHead + "3\rx\r\nabc\r\n0\r\n\r\n", "",
                     false, kRefused, kMalformedChunks, "HTTP/1.1", "200", "OK",
                     {"transfer-encoding=chunked"}, kChunked, -1, ""},
        ResponseCase{"StrayCarriageReturnAfterData", kChunkedHead + "3\r\nabc\r\r\n0\r\n\r\n", "",
                     false, kRefused, kMalformedChunks, "HTTP/1.1", "200", "OK",
                     {"transfer-encoding=chunked"}, kChunked, -1, "abc"},
        ResponseCase{"ChunkSizeOverflow", kChunkedHead + "FFFFFFFFFFFFFFFFF\r\n", "", false,
                     kRefused, kTooLarge, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"},
                     kChunked, -1, ""},
        ResponseCase{"ChunkedCutShort", kChunkedHead + "5\r\nhel", "", true, kRefused, kCutShort,
                     "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, kChunked, -1, "hel"},
        ResponseCase{"ChunkedWithoutLastChunk", kChunkedHead + "5\r\nhello\r\n", "", true, kRefused,
                     kCutShort, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, kChunked,
                     -1, "hello"},
        // The largest body accepted, for each framing: 4 bytes taken, 5 refused before they are
        // handed out.
        ResponseCase{"LengthAtLimit", k10 + "Content-Length: 4\r\n\r\nabcd", "", false, kDone,
                     kNone, "HTTP/1.0", "200", "OK", {"content-length=4"}, kLength, 4, "abcd",
                     kFour},
        ResponseCase{"LengthOverLimit", k10 + "Content-Length: 5\r\n\r\nabcde", "", false, kRefused,
                     kTooLarge, "HTTP/1.0", "200", "OK", {"content-length=5"}, kLength, 5, "",
                     kFour},
        ResponseCase{"ChunksAtLimit", kChunkedHead + "3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n", "", false,
                     kDone, kNone, "HTTP/1.1", "200", "OK", {"transfer-encoding=chunked"}, kChunked,
                     -1, "abcd", kFour},
        ResponseCase{"ChunksOverLimit", kChunkedHead + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "",
                     false, kRefused, kTooLarge, "HTTP/1.1", "200", "OK",
                     {"transfer-encoding=chunked"}, kChunked, -1, "abc", kFour},
        ResponseCase{"UntilCloseAtLimit", k10 + "\r\nabcd", "", true, kDone, kNone, "HTTP/1.0",
                     "200", "OK", {}, kUntilClose, -1, "abcd", kFour},
        ResponseCase{"HeadAnswerNotHeldToTheLimit", k10 + "Content-Length: 5\r\n\r\n", "", false,
                     kDone, kNone, "HTTP/1.0", "200", "OK", {"content-length=5"}, kNoBody, 0, "",
                     {.head_request = true, .max_body = 4}}),
    [](const auto& tc) { return std::string(tc.param.name); });

// clang-format on

// A body that runs until the close is refused once a run would take it over the limit: the runs
// handed out before depend on where the pieces split, but never go beyond it.
TEST(ResponseReader, NothingBeyondTheLimitWhereverThePiecesSplit) {
  const std::string bytes = k10 + "\r\nabcdefgh";
  for (std::size_t cut = 1; cut <= bytes.size(); ++cut) {
    ResponseReader reader(kFour);
    const std::string_view v = bytes;
    const Reading r = Feed(reader, {v.substr(0, cut), v.substr(cut)}, true);
    EXPECT_EQ(r.result, kRefused) << cut;
    EXPECT_LE(r.body.size(), 4U) << cut;
  }
}

TEST(ResponseReader, TakesNothingOnceOver) {
  for (const std::string& bytes :
       {k10 + "Content-Length: 1\r\n\r\nx", k10 + "X: " + std::string(9000, 'a')}) {
    ResponseReader reader;
    const Reading first = Feed(reader, {bytes}, false);
    ASSERT_NE(first.result, kNeedMore);
    std::size_t used = 99;
    std::string_view body;
    EXPECT_EQ(reader.Feed("HTTP/1.0 200 OK\r\n\r\n", used, body), first.result);
    EXPECT_EQ(used, 0U);
    EXPECT_EQ(reader.ConnectionClosed(), first.result);
  }
}

TEST(ResponseReader, ResetReadsTheNextResponseWithItsOptions) {
  ResponseReader reader(kHeadRequest);
  ASSERT_EQ(Feed(reader, {k10 + "Content-Length: 2\r\n\r\n"}, false).result, kDone);
  reader.Reset({});
  EXPECT_FALSE(reader.Started());
  EXPECT_EQ(reader.ConnectionClosed(), kNeedMore) << "nothing of a response read: nothing cut";
  const Reading r = Feed(reader, {"HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno"}, false);
  EXPECT_EQ(r.result, kDone);
  EXPECT_EQ(reader.Code(), "404");
  EXPECT_EQ(r.body, "no");
}

std::string HeaderLines(int count, std::size_t value_size = 1) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += "X-" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
  }
  return lines;
}

// The rules the client's reader shares with the server's: the same head limits (the blank line
// not counted), trailer lines counted with the head's, and the same chunk framing. Each case is
// read by both, as a response and as a request; both must accept or refuse it alike.
struct SharedRuleCase {
  const char* name;
  std::string header_lines;  // between the start line and the framing header
  std::string chunks;        // the chunked body, trailer included
  bool accepted;
};

void PrintTo(const SharedRuleCase& c, std::ostream* os) {
  *os << c.name;
}

class SharedRules : public ::testing::TestWithParam<SharedRuleCase> {};

TEST_P(SharedRules, BothReadersDrawTheSameLine) {
  const SharedRuleCase& c = GetParam();
  const std::string framing = "Transfer-Encoding: chunked\r\n";

  ResponseReader client;
  const std::string response = k11 + c.header_lines + framing + "\r\n" + c.chunks;
  const ReadResult got = Feed(client, {response}, false).result;
  EXPECT_EQ(got, c.accepted ? kDone : kRefused) << "response";

  server::RequestReader server({.http11_bodies = true});
  const std::string request = "POST / HTTP/1.1\r\n" + c.header_lines + framing + "\r\n" + c.chunks;
  std::size_t used = 0;
  EXPECT_EQ(server.Feed(request, used),
            c.accepted ? server::ReadResult::kDone : server::ReadResult::kRefused)
      << "request";
}

const std::string kChunks = "3\r\nabc\r\n0\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    , SharedRules,
    ::testing::Values(
        // With the framing header, 99 more lines make 100 header lines.
        SharedRuleCase{"HundredHeaderLinesAccepted", HeaderLines(99), kChunks, true},
        SharedRuleCase{"HundredAndOneRefused", HeaderLines(100), kChunks, false},
        SharedRuleCase{"HeaderLineOf8192Accepted", "X: " + std::string(8189, 'a') + "\r\n", kChunks,
                       true},
        SharedRuleCase{"HeaderLineOf8193Refused", "X: " + std::string(8190, 'a') + "\r\n", kChunks,
                       false},
        SharedRuleCase{"HeaderTextOver64KiBRefused", HeaderLines(9, 8000), kChunks, false},
        SharedRuleCase{"TrailerLinesCountWithTheHead", HeaderLines(59),
                       "3\r\nabc\r\n0\r\n" + HeaderLines(40) + "\r\n", true},
        SharedRuleCase{"OneTrailerLineTooMany", HeaderLines(59),
                       "3\r\nabc\r\n0\r\n" + HeaderLines(41) + "\r\n", false},
        SharedRuleCase{"SizeLineOf1024Accepted", "",
                       "3;" + std::string(1022, 'x') + "\r\nabc\r\n0\r\n\r\n", true},
        SharedRuleCase{"SizeLineOf1025Refused", "",
                       "3;" + std::string(1023, 'x') + "\r\nabc\r\n0\r\n\r\n", false},
        SharedRuleCase{"BlanksBeforeExtensionAccepted", "", "3 \t;a=b\r\nabc\r\n0\r\n\r\n", true},
        SharedRuleCase{"StrayCarriageReturnInSizeLineRefused", "", "3\rx\r\nabc\r\n0\r\n\r\n",
                       false},
        SharedRuleCase{"StrayCarriageReturnInExtensionRefused", "", "3;a\rb\r\nabc\r\n0\r\n\r\n",
                       false},
        SharedRuleCase{"StrayCarriageReturnAfterDataRefused", "", "3\r\nabc\r\r\n0\r\n\r\n", false},
        SharedRuleCase{"BareLineFeedsAccepted", "", "3\nabc\n0\n\n", true},
        SharedRuleCase{"BlankBeforeSizeRefused", "", " 3\r\nabc\r\n0\r\n\r\n", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace quorvin::client
