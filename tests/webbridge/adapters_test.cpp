#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/web/http_date.h"
#include "quorvin/webbridge/http_status.h"
#include "quorvin/webbridge/response_adapter.h"

namespace quorvin::webbridge {
namespace {

// A parsed request without a server: the fields a connection would hold.
class FakeView final : public ConnectionView {
 public:
  std::string method = "GET", version = "HTTP/1.0", url = "/", query, translated;
  platform::TStringList headers;
  platform::TMemoryStream body;

  std::string_view RequestField(Field f) const override {
    switch (f) {
      case Field::kMethod: return method;
      case Field::kVersion: return version;
      case Field::kURL: return url;
      case Field::kQuery: return query;
      case Field::kTranslatedPath: return translated;
    }
    return {};
  }
  const platform::TStringList& RequestHeaders() const override { return headers; }
  platform::TMemoryStream& RequestBody() override { return body; }
  std::string_view ConnectionOption() const override { return option; }
  std::string Answer() const { return std::string(body.View()); }
  std::string option;  // what the connection will do after the answer
};

TEST(RequestAdapter, VariablesReadFromTheConnection) {
  FakeView view;
  view.url = "/a b";
  view.query = "x=%41";
  view.headers.Add("content-type=Text/HTML");
  view.headers.Add("cookie=Session=AbC");
  view.headers.Add("server-port=80");
  view.headers.Add("if-modified-since=thu, 05 mar 1998 14:07:09 gmt");
  ZRequest r(view);
  EXPECT_EQ(r.GetStringVariable(0), "GET");
  EXPECT_EQ(r.GetStringVariable(1), "HTTP/1.0");
  EXPECT_EQ(r.GetStringVariable(2), "/a b");
  EXPECT_EQ(r.GetStringVariable(3), "x=%41");
  EXPECT_EQ(r.GetStringVariable(4), "/a b");
  EXPECT_EQ(r.GetStringVariable(5), "");
  EXPECT_EQ(r.GetStringVariable(15), "Text/HTML");    // values come back as sent
  EXPECT_EQ(r.GetStringVariable(27), "Session=AbC");
  EXPECT_EQ(r.GetIntegerVariable(24), 80);
  EXPECT_DOUBLE_EQ(r.GetDateVariable(11), platform::EncodeDateTime(1998, 3, 5, 14, 7, 9));
  // Missing headers and numbers outside the table.
  EXPECT_EQ(r.GetStringVariable(16), "");
  EXPECT_EQ(r.GetIntegerVariable(16), -1);
  EXPECT_EQ(r.GetDateVariable(7), -1.0);
  for (int i : {21, 22, 23}) EXPECT_EQ(r.GetStringVariable(i), "");
  for (int i : {29, -1, 1000}) {
    EXPECT_EQ(r.GetStringVariable(i), "");
    EXPECT_EQ(r.GetIntegerVariable(i), -1);
    EXPECT_EQ(r.GetDateVariable(i), -1.0);
  }
  EXPECT_EQ(r.GetHeader("X-Anything"), "");
  EXPECT_EQ(r.GetHeader("COOKIE"), "Session=AbC");
}

TEST(RequestAdapter, BodyStopsAtItsSizeOrANul) {
  FakeView view;
  view.body.WriteText(std::string("hello\0world", 11));
  ZRequest r(view);
  EXPECT_EQ(r.GetStringVariable(25), "hello");
  view.body.SetSize(0);
  EXPECT_EQ(r.GetStringVariable(25), "");
}

TEST(RequestAdapter, UnreadableDateRaisesToTheAction) {
  FakeView view;
  view.headers.Add("date=not a date");
  ZRequest r(view);
  EXPECT_THROW(r.GetDateVariable(7), web::EDateParseError);
}

const std::string kHead = "HTTP/1.0 200 OK\r\nContent-type: text/html\r\n";

struct AnswerCase {
  const char* name;
  std::string version;
  std::function<void(ZResponse&)> act;
  std::string answer;
};

class ResponseAdapter : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ResponseAdapter, ComposesTheAnswerIntoTheBody) {
  FakeView view;
  view.version = GetParam().version;
  view.body.WriteText("request body that the answer replaces");
  ZRequest request(view);
  ZResponse response(request);
  GetParam().act(response);
  response.SendResponse();
  EXPECT_TRUE(response.Sent());
  EXPECT_EQ(view.Answer(), GetParam().answer);
}

platform::TDateTime Dec8() { return platform::EncodeDateTime(2026, 12, 8, 21, 1, 10); }

std::unique_ptr<platform::TMemoryStream> Bytes(std::string_view s) {
  auto m = std::make_unique<platform::TMemoryStream>();
  m->WriteText(s);
  return m;
}

INSTANTIATE_TEST_SUITE_P(
    , ResponseAdapter,
    ::testing::Values(
        AnswerCase{"DefaultsWithContent", "HTTP/1.0", [](ZResponse& r) { r.SetContent("abc"); },
                   kHead + "Content-Length: 3\r\n\r\nabc"},
        AnswerCase{"VersionEchoed", "HTTP/1.1", [](ZResponse& r) { r.SetContent("abc"); },
                   "HTTP/1.1 200 OK\r\nContent-type: text/html\r\nContent-Length: 3\r\n\r\nabc"},
        AnswerCase{"StatusCode", "HTTP/1.0", [](ZResponse& r) { r.SetStatusCode(404); },
                   "HTTP/1.0 404 Not Found\r\nContent-type: text/html\r\nContent-Length: 0\r\n\r\n"},
        AnswerCase{"ReasonAfterStatus", "HTTP/1.0",
                   [](ZResponse& r) {
                     r.SetStatusCode(404);
                     r.SetReasonString("404 Gone Fishing");
                     r.SetStatusCode(404);  // the same code again keeps the text
                   },
                   "HTTP/1.0 404 Gone Fishing\r\nContent-type: text/html\r\nContent-Length: 0\r\n\r\n"},
        // Codes the server's table lacks keep their meaning: never "200 OK" for a failure.
        AnswerCase{"CodeOutsideTheTableKeepsItsMeaning", "HTTP/1.0", [](ZResponse& r) { r.SetStatusCode(422); },
                   "HTTP/1.0 422 Unprocessable Content\r\nContent-type: text/html\r\nContent-Length: 0\r\n\r\n"},
        AnswerCase{"CodeOutOfRangeIsAFailure", "HTTP/1.0", [](ZResponse& r) { r.SetStatusCode(99); },
                   "HTTP/1.0 500 Internal Server Error\r\nContent-type: text/html\r\nContent-Length: 0\r\n\r\n"},
        AnswerCase{"NoProtocolVersion", "", [](ZResponse& r) { r.SetContent("abc"); },
                   "Content-Length: 3\r\n\r\nabc"},
        AnswerCase{"DatesAtZeroLeftOut", "HTTP/1.0",
                   [](ZResponse& r) {
                     r.SetExpires(0);
                     r.SetLastModified(-5);
                   },
                   kHead + "Content-Length: 0\r\n\r\n"},
        AnswerCase{"ContentAndStream", "HTTP/1.0",
                   [](ZResponse& r) {
                     r.SetContent("ab");
                     r.SetContentStream(Bytes("cdefg"));
                   },
                   kHead + "Content-Length: 7\r\n\r\nabcdefg"},
        AnswerCase{"LengthSetByActionIgnored", "HTTP/1.0",
                   [](ZResponse& r) {
                     r.SetContent("abc");
                     r.SetContentLength(100);
                   },
                   kHead + "Content-Length: 3\r\n\r\nabc"},
        AnswerCase{"AllHeadersInOrder", "HTTP/1.0",
                   [](ZResponse& r) {
                     r.SetAllow("GET");
                     auto& a = r.Cookies().Add();
                     a.Name = "a";
                     a.Value = "1";
                     auto& b = r.Cookies().Add();
                     b.Name = "b";
                     b.Value = "2";
                     r.SetDerivedFrom("src");
                     r.SetExpires(Dec8());
                     r.SetLastModified(Dec8());
                     r.SetTitle("T");
                     r.SetWWWAuthenticate("Basic");
                     r.SetCustomHeader("X-One", "1");
                     r.SetContentVersion("2");
                     r.SetContentEncoding("gzip");
                     r.SetContentType("text/plain");
                   },
                   "HTTP/1.0 200 OK\r\nAllow: GET\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\nDerived-From: src\r\n"
                   "Expires: Tue, 08 Dec 2026 21:01:10 GMT\r\nLast-Modified: Tue, 08 Dec 2026 21:01:10 GMT\r\n"
                   "Title: T\r\nWWW-Authenticate: Basic\r\nX-One: 1\r\nContent-Version: 2\r\n"
                   "Content-Encoding: gzip\r\nContent-type: text/plain\r\nContent-Length: 0\r\n\r\n"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Records the size of every write, to show how a stream is copied.
class WriteLog final : public platform::TMemoryStream {
 public:
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    writes.push_back(count);
    return TMemoryStream::Write(buffer, count);
  }
  std::vector<std::int64_t> writes;
};

TEST(ResponseAdapterStream, SendStreamCopiesInPiecesAndSendsAll) {
  FakeView view;
  ZRequest request(view);
  ZResponse response(request);
  auto log = std::make_unique<WriteLog>();
  WriteLog* seen = log.get();
  response.SetContentStream(std::move(log));
  platform::TMemoryStream source;
  source.WriteText(std::string(20000, 'x'));
  source.SetPosition(0);
  response.SendStream(source);
  EXPECT_FALSE(response.Sent());
  EXPECT_EQ(seen->writes, (std::vector<std::int64_t>{8192, 8192, 3616}));
  response.SendResponse();
  const std::string once = view.Answer();
  EXPECT_EQ(once, kHead + "Content-Length: 20000\r\n\r\n" + std::string(20000, 'x'));
  response.SendResponse();
  EXPECT_EQ(view.Answer(), once);
}

// A stream that says it is larger than it reads: the length must count what is sent, or the
// next answer on a kept connection would be read as the end of this one.
class ShortStream final : public platform::TStream {
 public:
  explicit ShortStream(std::string bytes) : bytes_(std::move(bytes)) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const auto n = std::min<std::int64_t>(count, static_cast<std::int64_t>(bytes_.size()) - at_);
    if (n <= 0) return 0;
    bytes_.copy(static_cast<char*>(buffer), static_cast<std::size_t>(n), static_cast<std::size_t>(at_));
    at_ += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    at_ = origin == platform::TSeekOrigin::soBeginning ? offset : at_ + offset;
    return at_;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()) + 100; }
  void SetSize(std::int64_t) override {}

 private:
  std::string bytes_;
  std::int64_t at_ = 0;
};

TEST(ResponseAdapterStream, LengthCountsWhatTheStreamGives) {
  FakeView view;
  ZRequest request(view);
  ZResponse response(request);
  response.SetContent("ab");
  response.SetContentStream(std::make_unique<ShortStream>("12345"));
  response.SendResponse();
  EXPECT_TRUE(view.Answer().ends_with("Content-Length: 7\r\n\r\nab12345")) << view.Answer();
}

TEST(ResponseAdapterConnection, SaysWhatTheConnectionDoesUnlessTheActionSaidIt) {
  FakeView view;
  view.version = "HTTP/1.1";
  view.option = "keep-alive";
  ZRequest request(view);
  ZResponse kept(request);
  kept.SetContent("x");
  kept.SendResponse();
  const std::regex date("Date: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT\r\n");
  EXPECT_EQ(std::regex_replace(view.Answer(), date, "Date: *\r\n"),
            "HTTP/1.1 200 OK\r\nContent-type: text/html\r\nConnection: keep-alive\r\n"
            "Date: *\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_FALSE(kept.AsksToClose());

  // HEAD: the same heading, and nothing after it that the next answer could be mistaken for.
  view.method = "HEAD";
  ZResponse head(request);
  head.SetContent("x");
  head.SetCustomHeader("Date", "Thu, 01 Jan 2026 00:00:00 GMT");
  head.SendResponse();
  EXPECT_TRUE(view.Answer().ends_with("Content-Length: 1\r\n\r\n")) << view.Answer();
  EXPECT_EQ(view.Answer().find("Date:"), view.Answer().rfind("Date:")) << "the action's date stands";
  view.method = "GET";

  ZResponse ending(request);
  ending.SetCustomHeader("Connection", "Upgrade, Close");
  ending.SendResponse();
  EXPECT_TRUE(ending.AsksToClose());
  EXPECT_EQ(view.Answer().find("keep-alive"), std::string::npos) << "the action's header stands";
}

TEST(ResponseAdapterStream, SendStreamWithoutContentStreamMakesOne) {
  FakeView view;
  ZRequest request(view);
  ZResponse response(request);
  platform::TMemoryStream source;
  source.WriteText("streamed");
  source.SetPosition(0);
  response.SendStream(source);
  response.SendResponse();
  EXPECT_EQ(view.Answer(), kHead + "Content-Length: 8\r\n\r\nstreamed");
}

TEST(ResponseAdapterVariables, OutOfRangeIgnoredAndDefaults) {
  FakeView view;
  view.version = "";
  ZRequest request(view);
  ZResponse r(request);
  EXPECT_EQ(r.GetStringVariable(0), "HTTP/1.0");
  EXPECT_EQ(r.GetStringVariable(1), "200 OK");
  EXPECT_EQ(r.GetStringVariable(8), "text/html");
  EXPECT_EQ(r.GetDateVariable(3), -1.0);
  EXPECT_EQ(r.GetIntegerVariable(1), -1);
  r.SetStringVariable(12, "x");
  EXPECT_EQ(r.GetStringVariable(12), "");
  r.SetIntegerVariable(1, 5);
  EXPECT_EQ(r.GetIntegerVariable(1), -1);
  EXPECT_EQ(r.GetDateVariable(1), -1.0);
}

TEST(ResponseAdapterSafety, LineBreaksInHeadValuesRefuseTheAnswer) {
  const std::vector<std::function<void(ZResponse&)>> attempts = {
      [](ZResponse& r) { r.SetContentType("text/html\r\nSet-Cookie: evil=1"); },
      [](ZResponse& r) { r.SetCustomHeader("X-A", "1\nX-B: 2"); },
      [](ZResponse& r) { r.SetCustomHeader("X-A\r\nX-B", "2"); },
      [](ZResponse& r) { r.SetReasonString("200 OK\r\nX: y"); },
      [](ZResponse& r) {
        auto& c = r.Cookies().Add();
        c.Name = "a";
        c.Value = "1\r\nX: y";
      },
  };
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    SCOPED_TRACE(i);
    FakeView view;
    ZRequest request(view);
    ZResponse response(request);
    attempts[i](response);
    response.SetContent("content");
    response.SendResponse();
    EXPECT_TRUE(response.Refused());
    EXPECT_EQ(view.Answer(), "");
  }
}

// What an action's status code becomes on the status line: the table's texts letter for letter,
// standard reasons for the rest of 100-599, a class name for codes without one, 500 outside.
TEST(ActionStatusText, EveryCodeKeepsItsMeaning) {
  const std::vector<std::pair<int, std::string>> cases = {
      {200, "200 OK"},
      {503, "503 Service Unvailable"},
      {412, "412 Unless True"},
      {203, "203 Non-Authoritative Information"},
      {402, "402 Payment Required"},
      {413, "413 Content Too Large"},
      {414, "414 URI Too Long"},
      {415, "415 Unsupported Media Type"},
      {422, "422 Unprocessable Content"},
      {429, "429 Too Many Requests"},
      {511, "511 Network Authentication Required"},
      {299, "299 Success"},
      {599, "599 Server Error"},
      {100, "100 Continue"},
      {99, "500 Internal Server Error"},
      {600, "500 Internal Server Error"},
      {-1, "500 Internal Server Error"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(ActionStatusText(code), text) << code;
}

}  // namespace
}  // namespace quorvin::webbridge
