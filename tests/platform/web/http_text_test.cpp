#include "quorvin/platform/web/http_text.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::web {
namespace {

constexpr HeadLimits kLimits{8192, 100, 64 * 1024};

// The lines `bytes` holds, fed in two pieces cut at `cut`; "!" stands for a line too long.
std::vector<std::string> Lines(std::string_view bytes, std::size_t cut) {
  HeadReader head(kLimits);
  std::vector<std::string> lines;
  for (std::string_view piece : {bytes.substr(0, cut), bytes.substr(cut)}) {
    std::size_t pos = 0;
    for (;;) {
      const LineResult r = head.GetLine(piece, pos);
      if (r == LineResult::kNeedMore) {
        EXPECT_EQ(pos, piece.size());
        break;
      }
      if (r == LineResult::kTooLong) {
        lines.push_back("!");
        return lines;
      }
      lines.emplace_back(head.Line());
      head.ClearLine();
    }
  }
  return lines;
}

TEST(HeadReader, SameLinesWhereverTheBytesSplit) {
  const std::string bytes =
      std::string("GET / HTTP/1.0\r\nA: b\nC\r: d\r\r\n\0X\0\r\n\r\nrest", 38);
  const std::vector<std::string> expected = {"GET / HTTP/1.0", "A: b", "C: d", "X", ""};
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(Lines(bytes, cut), expected);
  }
}

TEST(HeadReader, LineLimitCountsCharactersNotLineEnds) {
  const std::string full(8192, 'a');
  for (std::size_t cut : {0, 1, 4096, 8192}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(Lines(full + "\r\n", cut), std::vector<std::string>{full});
    EXPECT_EQ(Lines(full + std::string("\r\r\0\r\n", 5), cut), std::vector<std::string>{full});
    EXPECT_EQ(Lines(full + "a\r\n", cut), std::vector<std::string>{"!"});
  }
}

TEST(HeadReader, HeaderLimitsCountWhatTheReaderSays) {
  const auto within = [](int lines, std::size_t line_size, int count) {
    HeadReader head({8192, 3, 10});
    std::size_t pos = 0;
    const std::string line = std::string(line_size, 'h') + "\n";
    bool ok = true;
    for (int i = 1; i <= count && ok; ++i) {
      pos = 0;
      head.GetLine(line, pos);
      ok = head.CountHeader(i + lines);
      head.ClearLine();
    }
    return ok;
  };
  EXPECT_TRUE(within(0, 3, 3));   // 3 lines, 9 bytes
  EXPECT_FALSE(within(0, 1, 4));  // a fourth line
  EXPECT_FALSE(within(2, 1, 2));  // the reader counts two lines of its own first
  EXPECT_TRUE(within(0, 5, 2));   // 10 bytes
  EXPECT_FALSE(within(0, 11, 1));

  // A new head counts from nothing again.
  HeadReader head({8192, 3, 10});
  std::size_t pos = 0;
  head.GetLine("0123456789\n", pos);
  EXPECT_TRUE(head.CountHeader(1));
  head.BeginHead();
  EXPECT_TRUE(head.CountHeader(1));
  EXPECT_FALSE(head.CountHeader(1));
}

struct StartLineCase {
  const char* name;
  std::string_view line;
  bool split;
  std::string_view first, second;
  std::optional<std::string_view> third;
};

class SplitsStartLine : public ::testing::TestWithParam<StartLineCase> {};

TEST_P(SplitsStartLine, AtItsSpaces) {
  StartLine parts;
  ASSERT_EQ(SplitStartLine(GetParam().line, parts), GetParam().split);
  if (!GetParam().split) return;
  EXPECT_EQ(parts.first, GetParam().first);
  EXPECT_EQ(parts.second, GetParam().second);
  EXPECT_EQ(parts.third, GetParam().third);
}

INSTANTIATE_TEST_SUITE_P(
    , SplitsStartLine,
    ::testing::Values(
        StartLineCase{"Request", "GET /a HTTP/1.0", true, "GET", "/a", "HTTP/1.0"},
        StartLineCase{"Status", "HTTP/1.0 404 Not Found", true, "HTTP/1.0", "404", "Not Found"},
        StartLineCase{"BlanksSkipped", "HTTP/1.0 \t 200  \tOK ", true, "HTTP/1.0", "200", "OK "},
        StartLineCase{"TwoParts", "GET /a\t", true, "GET", "/a\t", std::nullopt},
        StartLineCase{"EmptyThird", "GET /a ", true, "GET", "/a", ""},
        StartLineCase{"LeadingSpace", " /a", true, "", "/a", std::nullopt},
        StartLineCase{"NoSpace", "GET/a\tHTTP/1.0", false, "", "", std::nullopt}),
    [](const auto& tc) { return std::string(tc.param.name); });

// The framing `bytes` holds, read by a reader that takes at most `max_body` data bytes: the
// outcome that stopped it, the data it gave, and where it stopped.
struct Chunks {
  Chunks(std::string_view bytes, std::int64_t max_body) : reader(max_body) {
    std::string_view data;
    while ((result = reader.Read(bytes, pos, data)) == ChunkResult::kData) body += data;
  }

  ChunkReader reader;
  ChunkResult result;
  std::string body;
  std::size_t pos = 0;
};

TEST(ChunkReader, LimitHoldsAcrossChunks) {
  Chunks at_limit("5\r\nhello\r\n5\r\nworld\r\n0\r\nTrailer: x\r\n", 10);
  EXPECT_EQ(at_limit.result, ChunkResult::kLastChunk);
  EXPECT_EQ(at_limit.body, "helloworld");
  EXPECT_EQ(at_limit.pos, 23u);  // the trailer lines are the caller's
  EXPECT_EQ(at_limit.reader.BodySize(), 10);

  // Refused at the size line, before any of the chunk's data arrives.
  Chunks over("5\r\nhello\r\n6\r\n", 10);
  EXPECT_EQ(over.result, ChunkResult::kTooLarge);
  EXPECT_EQ(over.body, "hello");
  EXPECT_EQ(Chunks("a\r\n", 10).result, ChunkResult::kNeedMore);
  EXPECT_EQ(Chunks("b\r\n", 10).result, ChunkResult::kTooLarge);
}

TEST(HeaderEntry, NameLowerCasedValueTrimmed) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"Content-Type: Text/HTML", "content-type=Text/HTML"},
      {"Cookie:A=B; c=D", "cookie=A=B; c=D"},
      {"X-Pad: \t spaced  out \t", "x-pad=spaced  out"},
      {"Odd :v", "odd =v"},
      {"Empty:", "empty="},
      {":", "="},
      {"Host: a:8080", "host=a:8080"}};
  for (const auto& [line, entry] : cases) {
    std::string got;
    EXPECT_TRUE(HeaderEntry(line, got)) << line;
    EXPECT_EQ(got, entry);
  }
  std::string untouched = "kept";
  EXPECT_FALSE(HeaderEntry("No colon here", untouched));
  EXPECT_EQ(untouched, "kept");
}

struct RangeCase {
  const char* name;
  std::string_view value;
  std::int64_t size;
  RangeRequest request;
  std::int64_t first = 0, last = 0;
};

class ParsesRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ParsesRange, AgainstTheFileSize) {
  const RangeCase& c = GetParam();
  std::int64_t first = -7;
  std::int64_t last = -7;
  EXPECT_EQ(ParseRange(c.value, c.size, first, last), c.request);
  if (c.request == RangeRequest::kPart) {
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(last, c.last);
  } else {
    EXPECT_EQ(first, -7);  // left as they were
    EXPECT_EQ(last, -7);
  }
}

constexpr std::int64_t kGiB = 1LL << 30;

INSTANTIATE_TEST_SUITE_P(
    , ParsesRange,
    ::testing::Values(
        RangeCase{"FromTo", "bytes=10-14", 1000, RangeRequest::kPart, 10, 14},
        RangeCase{"OneByte", "bytes=3-3", 1000, RangeRequest::kPart, 3, 3},
        RangeCase{"LastByte", "bytes=999-999", 1000, RangeRequest::kPart, 999, 999},
        RangeCase{"OpenEnded", "bytes=995-", 1000, RangeRequest::kPart, 995, 999},
        RangeCase{"Suffix", "bytes=-3", 1000, RangeRequest::kPart, 997, 999},
        RangeCase{"EndPastSizeClamped", "bytes=998-5000", 1000, RangeRequest::kPart, 998, 999},
        RangeCase{"SuffixLargerThanFile", "bytes=-5000", 1000, RangeRequest::kPart, 0, 999},
        RangeCase{"BlanksAndLetterCase", "  BYTES= 5 - 6 ", 1000, RangeRequest::kPart, 5, 6},
        RangeCase{"BeyondFourGiB", "bytes=4294967296-", 5 * kGiB, RangeRequest::kPart, 4 * kGiB,
                  5 * kGiB - 1},
        RangeCase{"StartPastEnd", "bytes=1000-", 1000, RangeRequest::kUnsatisfiable},
        RangeCase{"EmptySuffix", "bytes=-0", 1000, RangeRequest::kUnsatisfiable},
        RangeCase{"EmptyFileSuffix", "bytes=-1", 0, RangeRequest::kUnsatisfiable},
        RangeCase{"EmptyFileFromStart", "bytes=0-", 0, RangeRequest::kUnsatisfiable},
        RangeCase{"None", "", 1000, RangeRequest::kWhole},
        RangeCase{"Several", "bytes=0-1,5-6", 1000, RangeRequest::kWhole},
        RangeCase{"Backwards", "bytes=9-3", 1000, RangeRequest::kWhole},
        RangeCase{"OtherUnit", "items=0-3", 1000, RangeRequest::kWhole},
        RangeCase{"NoDash", "bytes=5", 1000, RangeRequest::kWhole},
        RangeCase{"Garbage", "bytes=a-b", 1000, RangeRequest::kWhole},
        RangeCase{"SignedNumber", "bytes=+1-2", 1000, RangeRequest::kWhole},
        RangeCase{"NegativeEnd", "bytes=1--2", 1000, RangeRequest::kWhole},
        RangeCase{"Overflow", "bytes=99999999999999999999999-", 1000, RangeRequest::kWhole},
        RangeCase{"SuffixOverflow", "bytes=-99999999999999999999999", 1000, RangeRequest::kWhole}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace quorvin::web
