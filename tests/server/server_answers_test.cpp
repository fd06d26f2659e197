#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "quorvin/platform/core/datetime.h"
#include "server_test_support.h"

namespace quorvin::testing {
namespace {

class ServerAnswers : public ::testing::Test {
 protected:
  void SetUp() override { WriteSite(root); }
  TempDir root;
};

struct AnswerCase {
  const char* name;
  std::string request;
  std::string status_line;
  std::string body;  // expected body, or "" to skip; error pages are checked by their text
};

class StaticAnswers : public ServerAnswers, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(StaticAnswers, AnswerAsExpected) {
  ServerForm server(root.Str());
  const Exchange ex = server.Get(GetParam().request);
  ASSERT_TRUE(ex.closed);
  const ParsedAnswer a = ParseAnswer(ex.answer);
  EXPECT_EQ(a.status_line, GetParam().status_line);
  if (!GetParam().body.empty()) {
    EXPECT_EQ(a.body, GetParam().body);
  }
  // Nothing private ever leaves.
  EXPECT_EQ(ex.answer.find("secret"), std::string::npos);
  EXPECT_EQ(ex.answer.find("PASSWORD"), std::string::npos);
}

const std::string kGet = "GET ";
const std::string kEnd = " HTTP/1.0\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    , StaticAnswers,
    ::testing::Values(
        AnswerCase{"Root", kGet + "/" + kEnd, "HTTP/1.0 200 OK", "<html>home</html>"},
        AnswerCase{"File", kGet + "/page.htm" + kEnd, "HTTP/1.0 200 OK", "<html>page</html>"},
        AnswerCase{"FolderWithSlash", kGet + "/docs/" + kEnd, "HTTP/1.0 200 OK", "<html>docs</html>"},
        AnswerCase{"PathBelowAFile", kGet + "/page.htm/extra/path" + kEnd, "HTTP/1.0 200 OK", "<html>page</html>"},
        AnswerCase{"DotDotInside", kGet + "/a/../page.htm" + kEnd, "HTTP/1.0 200 OK", "<html>page</html>"},
        AnswerCase{"MethodAnyCase", "get /page.htm" + kEnd, "HTTP/1.0 200 OK", "<html>page</html>"},
        AnswerCase{"EncodedName", kGet + "/p%61ge.htm" + kEnd, "HTTP/1.0 200 OK", "<html>page</html>"},
        AnswerCase{"Missing", kGet + "/missing/deeper" + kEnd, "HTTP/1.0 404 Not Found", ""},
        AnswerCase{"EscapeAboveRoot", kGet + "/../x.htm" + kEnd, "HTTP/1.0 400 Bad Request", ""},
        AnswerCase{"EncodedEscape", kGet + "/%2e%2e/%2e%2e/etc/passwd" + kEnd, "HTTP/1.0 400 Bad Request", ""},
        AnswerCase{"FileWithQuery", kGet + "/page.htm?x=1" + kEnd, "HTTP/1.0 400 Bad Request", ""},
        AnswerCase{"FolderWithQuery", kGet + "/docs/?x=1" + kEnd, "HTTP/1.0 501 Not Implemented", ""},
        AnswerCase{"NulInPath", kGet + "/page.htm%00.txt" + kEnd, "HTTP/1.0 400 Bad Request", ""},
        AnswerCase{"BackslashIsNoSeparator", kGet + "/docs\\index.htm" + kEnd, "HTTP/1.0 404 Not Found", ""},
        AnswerCase{"FolderWithoutDefault", kGet + "/nodefault/" + kEnd, "HTTP/1.0 403 Forbidden", ""},
        AnswerCase{"DotFile", kGet + "/.hidden" + kEnd, "HTTP/1.0 403 Forbidden", ""},
        AnswerCase{"DotFolder", kGet + "/.git/config" + kEnd, "HTTP/1.0 403 Forbidden", ""},
        AnswerCase{"DotFileInFolder", kGet + "/sub/.env" + kEnd, "HTTP/1.0 403 Forbidden", ""},
        AnswerCase{"DotFolderEncoded", kGet + "/%2egit/config" + kEnd, "HTTP/1.0 403 Forbidden", ""},
        AnswerCase{"Put", "PUT /page.htm" + kEnd, "HTTP/1.0 501 Not Implemented", ""},
        AnswerCase{"Options", "OPTIONS /page.htm" + kEnd, "HTTP/1.0 501 Not Implemented", ""},
        AnswerCase{"EmptyRequest", "\r\n", "HTTP/1.0 501 Not Implemented", ""},
        AnswerCase{"GetWithBody", "GET /page.htm HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
                   "HTTP/1.0 501 Not Implemented", ""},
        AnswerCase{"PostToFile", "POST /page.htm HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
                   "HTTP/1.0 405 Method Not Allowed", ""},
        AnswerCase{"PostToNothing", "POST /missing HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
                   "HTTP/1.0 404 Not Found", ""},
        AnswerCase{"PostWithQueryNeverEchoesBody",
                   "POST /page.htm?x=1 HTTP/1.0\r\nContent-Length: 6\r\n\r\nsecret", "HTTP/1.0 405 Method Not Allowed",
                   ""}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(ServerAnswers, BodyBeyondTheLimitIsTooLargeAndEndsTheConnection) {
  ServerForm server(root.Str(), {{"MaxBody", 10}});
  struct Case {
    std::string request;
    std::string status_line;
  };
  const Case cases[] = {
      {"POST /page.htm HTTP/1.0\r\nContent-Length: 10\r\n\r\n0123456789",
       "HTTP/1.0 405 Method Not Allowed"},
      {"POST /page.htm HTTP/1.0\r\nContent-Length: 11\r\n\r\n0123456789a",
       "HTTP/1.0 413 Content Too Large"},
      // Answered from the head: the client need not send what would be refused.
      {"POST /page.htm HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n",
       "HTTP/1.0 413 Content Too Large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const Exchange ex = server.Get(c.request);
    EXPECT_TRUE(ex.closed);
    EXPECT_EQ(ParseAnswer(ex.answer).status_line, c.status_line);
  }
  // The limit left alone is 16 MiB.
  ServerForm defaults(root.Str());
  EXPECT_EQ(ParseAnswer(defaults.Get("POST / HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n").answer)
                .status_line,
            "HTTP/1.0 413 Content Too Large");
}

TEST_F(ServerAnswers, ErrorPagesByteForByte) {
  ServerForm server(root.Str());
  struct {
    std::string request;
    int code;
    std::string status;
  } cases[] = {{"GET /../x HTTP/1.0\r\n\r\n", 400, "400 Bad Request"},
               {"GET /nodefault/ HTTP/1.0\r\n\r\n", 403, "403 Forbidden"},
               {"GET /nothing HTTP/1.0\r\n\r\n", 404, "404 Not Found"},
               {"DELETE / HTTP/1.0\r\n\r\n", 501, "501 Not Implemented"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const Exchange ex = server.Get(c.request);
    const ParsedAnswer a = ParseAnswer(ex.answer);
    const std::string server_line = a.Header("Server").empty() ? "" : "Server: " + a.Header("Server") + "\r\n";
    EXPECT_EQ(BlankDates(ex.answer),
              "HTTP/1.0 " + c.status + "\r\n" + server_line + "Date: *\r\n\r\n" +
                  "<BODY TEXT=\"#000000\" BGCOLOR=\"#FFFFFF\" LINK=\"#FFFF80\" VLINK=\"#C0C0C0\" "
                  "ALINK=\"#80FFFF\"><B><FONT SIZE=+3>ERROR : " +
                  c.status +
                  "</FONT></B><HR WIDTH=\"100%\">Message generated by : Quorvin Server</BODY>\r\n");
  }
}

TEST_F(ServerAnswers, FileHeadingInOrderWithRealDates) {
  ServerForm server(root.Str());
  const Exchange ex = server.Get("GET /page.htm HTTP/1.0\r\n\r\n");
  const ParsedAnswer a = ParseAnswer(ex.answer);
  std::vector<std::string> names;
  for (const auto& line : a.header_lines) names.push_back(line.substr(0, line.find(':')));
  std::vector<std::string> expected = {"Date", "Content-type", "Content-Length", "Last-Modified"};
  if (!a.Header("Server").empty()) expected.insert(expected.begin(), "Server");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(a.Header("Content-type"), "text/html");
  EXPECT_EQ(a.Header("Content-Length"), "17");
  struct stat st {};
  ASSERT_EQ(::stat((root.Path() / "page.htm").c_str(), &st), 0);
  EXPECT_EQ(a.Header("Last-Modified"), platform::FormatHttpDate(st.st_mtime));
  // "Tue, 08 Dec 2026 21:01:10 GMT": two-digit day, GMT label.
  EXPECT_TRUE(std::regex_match(a.Header("Date"), std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT")))
      << a.Header("Date");
}

TEST_F(ServerAnswers, HeadGivesTheHeadingOnly) {
  ServerForm server(root.Str());
  const std::string get = server.Get("GET /page.htm HTTP/1.0\r\n\r\n").answer;
  const std::string head = server.Get("HEAD /page.htm HTTP/1.0\r\n\r\n").answer;
  EXPECT_EQ(BlankDates(head), BlankDates(get.substr(0, get.find("\r\n\r\n") + 4)));
}

TEST_F(ServerAnswers, ZeroLengthAndUnregisteredFiles) {
  ServerForm server(root.Str());
  const ParsedAnswer empty = ParseAnswer(server.Get("GET /empty.txt HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(empty.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(empty.Header("Content-Length"), "0");
  EXPECT_EQ(empty.body, "");
  const ParsedAnswer odd = ParseAnswer(server.Get("GET /notes.qvx HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(odd.Header("Content-type"), "");
  EXPECT_EQ(odd.body, "unregistered");
  EXPECT_EQ(ParseAnswer(server.Get("GET /style.css HTTP/1.0\r\n\r\n").answer).Header("Content-type"), "text/css");
}

TEST_F(ServerAnswers, FolderWithoutSlashIsRedirected) {
  ServerForm server(root.Str());
  for (auto [request, location] : {std::pair{"GET /docs HTTP/1.0\r\n\r\n", "/docs/"},
                                   std::pair{"GET /d%6fcs?x=1&y HTTP/1.0\r\n\r\n", "/d%6fcs/?x=1&y"},
                                   std::pair{"HEAD /docs HTTP/1.0\r\n\r\n", "/docs/"}}) {
    const ParsedAnswer a = ParseAnswer(server.Get(request).answer);
    EXPECT_EQ(a.status_line, "HTTP/1.0 301 Moved Permanently");
    EXPECT_EQ(a.Header("Location"), location);
    EXPECT_EQ(a.body, "");
  }
}

TEST_F(ServerAnswers, RootWithTrailingSeparatorServesBelowIt) {
  ServerForm server(root.Str() + "/");
  EXPECT_EQ(ParseAnswer(server.Get("GET /docs/ HTTP/1.0\r\n\r\n").answer).body, "<html>docs</html>");
  EXPECT_EQ(ParseAnswer(server.Get("GET /../x HTTP/1.0\r\n\r\n").answer).status_line, "HTTP/1.0 400 Bad Request");
}

TEST_F(ServerAnswers, RequestInManyPiecesAndBareLineFeeds) {
  ServerForm server(root.Str());
  const Exchange ex = Fetch(server.Port(), {"GE", "T /page", ".htm HTTP/1.0\n", "Host: x\n", "\n"});
  EXPECT_EQ(ParseAnswer(ex.answer).body, "<html>page</html>");
}

TEST_F(ServerAnswers, FifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo((root.Path() / "pipe").c_str(), 0644), 0);
  ServerForm server(root.Str());
  EXPECT_EQ(ParseAnswer(server.Get("GET /pipe HTTP/1.0\r\n\r\n").answer).status_line, "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(ParseAnswer(server.Get("GET /page.htm HTTP/1.0\r\n\r\n").answer).status_line, "HTTP/1.0 200 OK");
}

}  // namespace
}  // namespace quorvin::testing
