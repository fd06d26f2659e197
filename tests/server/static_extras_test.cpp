#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <string>

#include "quorvin/platform/core/datetime.h"
#include "server_test_support.h"

namespace quorvin::testing {
namespace {

constexpr std::time_t kFileTime = 1765000000;  // the test file's last-write time

class StaticExtras : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string digits;
    for (int i = 0; i < 1000; ++i) digits += static_cast<char>('0' + i % 10);
    root.Write("digits.txt", digits);
    utimbuf times{kFileTime, kFileTime};
    ::utime((root.Path() / "digits.txt").c_str(), &times);
  }
  ParsedAnswer Get(ServerForm& server, const std::string& extra_headers, const char* method = "GET") {
    return ParseAnswer(server.Get(std::string(method) + " /digits.txt HTTP/1.0\r\n" + extra_headers + "\r\n").answer);
  }
  TempDir root;
};

struct ConditionalCase {
  const char* name;
  std::string header;
  const char* method;
  std::string status;
};

class Conditional : public StaticExtras, public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(Conditional, RevalidatesByDate) {
  ServerForm server(root.Str());
  const ParsedAnswer a = Get(server, GetParam().header, GetParam().method);
  EXPECT_EQ(a.status_line, GetParam().status);
  if (a.status_line == "HTTP/1.0 304 Not Modified") {
    EXPECT_EQ(a.body, "");
    EXPECT_EQ(a.Header("Last-Modified"), platform::FormatHttpDate(kFileTime));
    EXPECT_FALSE(a.Header("Date").empty());
  }
}

std::string Ims(std::time_t t) { return "If-Modified-Since: " + platform::FormatHttpDate(t) + "\r\n"; }

INSTANTIATE_TEST_SUITE_P(
    , Conditional,
    ::testing::Values(ConditionalCase{"SameSecond", Ims(kFileTime), "GET", "HTTP/1.0 304 Not Modified"},
                      ConditionalCase{"Later", Ims(kFileTime + 3600), "GET", "HTTP/1.0 304 Not Modified"},
                      ConditionalCase{"Earlier", Ims(kFileTime - 1), "GET", "HTTP/1.0 200 OK"},
                      ConditionalCase{"Unreadable", "If-Modified-Since: yesterday\r\n", "GET", "HTTP/1.0 200 OK"},
                      ConditionalCase{"AnyCase", "if-modified-since: SAT, 06 DEC 2025 05:46:40 GMT\r\n", "GET",
                                      "HTTP/1.0 304 Not Modified"},
                      ConditionalCase{"Head", Ims(kFileTime), "HEAD", "HTTP/1.0 304 Not Modified"}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct RangeCase {
  const char* name;
  std::string range;
  std::string status;
  std::string content_range;
  std::string body;  // "" for the whole file
};

class Ranges : public StaticExtras, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(Ranges, SendExactlyThoseBytes) {
  ServerForm server(root.Str());
  const ParsedAnswer a = Get(server, "Range: " + GetParam().range + "\r\n");
  EXPECT_EQ(a.status_line, GetParam().status);
  EXPECT_EQ(a.Header("Content-Range"), GetParam().content_range);
  if (a.status_line == "HTTP/1.0 206 Partial Content") {
    EXPECT_EQ(a.body, GetParam().body);
    EXPECT_EQ(a.Header("Content-Length"), std::to_string(GetParam().body.size()));
  } else if (a.status_line == "HTTP/1.0 200 OK") {
    EXPECT_EQ(a.body.size(), 1000u);
  } else {
    EXPECT_EQ(a.body, "");
  }
}

// How a Range header reads is ParseRange's table (tests/platform/web); here, that the bytes it
// names are the bytes that leave, and that the other two answers go out whole.
INSTANTIATE_TEST_SUITE_P(
    , Ranges,
    ::testing::Values(RangeCase{"FromTo", "bytes=10-14", "HTTP/1.0 206 Partial Content",
                                "bytes 10-14/1000", "01234"},
                      RangeCase{"StartPastEnd", "bytes=1000-",
                                "HTTP/1.0 416 Requested Range Not Satisfiable", "bytes */1000", ""},
                      RangeCase{"Several", "bytes=0-1,5-6", "HTTP/1.0 200 OK", "", ""}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(StaticExtras, HeadIgnoresRangeAndRequestsWithoutThemAreUnchanged) {
  ServerForm server(root.Str());
  const ParsedAnswer head = Get(server, "Range: bytes=0-1\r\n", "HEAD");
  EXPECT_EQ(head.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(head.Header("Content-Length"), "1000");
  EXPECT_EQ(head.body, "");
}

TEST_F(StaticExtras, RangeAtTheEndOfAGigabyteFile) {
  std::filesystem::resize_file(root.Write("huge.bin", ""), 1LL << 30);
  ServerForm server(root.Str());
  const ParsedAnswer a =
      ParseAnswer(server.Get("GET /huge.bin HTTP/1.0\r\nRange: bytes=1073741814-\r\n\r\n").answer);
  EXPECT_EQ(a.status_line, "HTTP/1.0 206 Partial Content");
  EXPECT_EQ(a.Header("Content-Range"), "bytes 1073741814-1073741823/1073741824");
  EXPECT_EQ(a.body, std::string(10, '\0'));
}

}  // namespace
}  // namespace quorvin::testing
