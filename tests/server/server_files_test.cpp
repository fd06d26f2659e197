// The server module's options for files, through its sockets on both bindings: compressed
// siblings, the program's error pages, the fallback document and folder listings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_test_support.h"

namespace quorvin::testing {
namespace {

class ServerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root.Write("index.html", "<h1>app</h1>");
    root.Write("app.js", "plain script");
    root.Write("app.js.gz", "GZ-BYTES");
    root.Write("app.js.br", "BR-BYTES");
    root.Write("only-gz.css", "plain css");
    root.Write("only-gz.css.gz", "GZ-CSS");
    root.Write(".secret/x", "private");
    root.Write("docs/a b.txt", "1");
    root.Write("docs/#hash", "22");
    root.Write("docs/q?.txt", "333");
    root.Write("docs/\xC3\xBC.txt", "4444");
    root.Write("docs/<b>&.txt", "x");
    root.Write("docs/.hidden", "h");
    root.MakeDir("docs/sub");
    pages.Write("404.html", "<h1>our 404</h1>");
    pages.Write("500.htm", "<h1>our 500</h1>");
  }
  TempDir root;
  TempDir pages;
};

TEST_F(ServerFiles, CompressedSiblingsForClientsThatTakeThem) {
  ServerForm server(root.Str(), {{"Precompressed", 1}});
  struct Case {
    std::string path, accept, body, encoding;
  };
  const std::vector<Case> cases = {
      {"/app.js", "gzip, deflate, br", "BR-BYTES", "br"},
      {"/app.js", "gzip", "GZ-BYTES", "gzip"},
      {"/app.js", "br;q=0, gzip;q=0.5", "GZ-BYTES", "gzip"},
      {"/app.js", "gzip;q=0", "plain script", ""},
      {"/app.js", "", "plain script", ""},
      {"/app.js", "*", "BR-BYTES", "br"},
      {"/only-gz.css", "br, gzip", "GZ-CSS", "gzip"},
      {"/only-gz.css", "br", "plain css", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " with [" + c.accept + "]");
    const std::string accept = c.accept.empty() ? "" : "Accept-Encoding: " + c.accept + "\r\n";
    const auto a = ParseAnswer(server.Get("GET " + c.path + " HTTP/1.0\r\n" + accept + "\r\n").answer);
    EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(a.body, c.body);
    EXPECT_EQ(a.Header("Content-Encoding"), c.encoding);
    EXPECT_EQ(a.Header("Vary"), "Accept-Encoding");
    EXPECT_EQ(a.Header("Content-Length"), std::to_string(c.body.size()));
    // The file's own type, not the type of a .gz.
    EXPECT_FALSE(a.Header("Content-type").empty());
    EXPECT_EQ(a.Header("Content-type").find("gzip"), std::string::npos);
  }
  // A range is a range of the copy sent.
  const auto part = ParseAnswer(
      server.Get("GET /app.js HTTP/1.0\r\nAccept-Encoding: gzip\r\nRange: bytes=0-1\r\n\r\n").answer);
  EXPECT_EQ(part.status_line, "HTTP/1.0 206 Partial Content");
  EXPECT_EQ(part.body, "GZ");
  EXPECT_EQ(part.Header("Content-Range"), "bytes 0-1/8");
}

TEST_F(ServerFiles, TheProgramsErrorPagesWithTheRealStatus) {
  ServerForm server(root.Str(), {{"ErrorPages", pages.Str()}});
  const auto missing = ParseAnswer(server.Get("GET /missing.htm HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(missing.status_line, "HTTP/1.0 404 Not Found");
  EXPECT_EQ(missing.body, "<h1>our 404</h1>");
  EXPECT_EQ(missing.Header("Content-type"), "text/html");
  // A query does not change the page.
  EXPECT_EQ(ParseAnswer(server.Get("GET /missing.htm?x=1 HTTP/1.0\r\n\r\n").answer).body, "<h1>our 404</h1>");
  // A status without a page of the program's keeps the built-in one.
  const auto hidden = ParseAnswer(server.Get("GET /.secret/x HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(hidden.status_line, "HTTP/1.0 403 Forbidden");
  EXPECT_NE(hidden.body.find("ERROR : 403 Forbidden"), std::string::npos);
  // HEAD: the page's heading only.
  const auto head = ParseAnswer(server.Get("HEAD /missing.htm HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(head.status_line, "HTTP/1.0 404 Not Found");
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.Header("Content-Length"), "16");
}

TEST_F(ServerFiles, FallbackDocumentForAnApplicationsRoutes) {
  ServerForm server(root.Str(), {{"FallbackDocument", "index.html"}, {"DefaultFile", "index.html"}});
  struct Case {
    std::string request, status, body;
  };
  const std::vector<Case> cases = {
      {"GET /users/42 HTTP/1.0", "200 OK", "<h1>app</h1>"},
      {"GET /settings?tab=2 HTTP/1.0", "200 OK", "<h1>app</h1>"},
      {"HEAD /users/42 HTTP/1.0", "200 OK", ""},
      {"GET /missing.js HTTP/1.0", "404 Not Found", ""},       // an extension: a real 404
      {"GET /.secret/nothing HTTP/1.0", "404 Not Found", ""},  // never through a dot-name
      {"GET /.secret/x HTTP/1.0", "403 Forbidden", ""},
      {"GET /../../etc/passwd HTTP/1.0", "400 Bad Request", ""},
      {"GET /app.js HTTP/1.0", "200 OK", "plain script"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const auto a = ParseAnswer(server.Get(c.request + "\r\n\r\n").answer);
    EXPECT_EQ(a.status_line, "HTTP/1.0 " + c.status);
    if (!c.body.empty() || c.request.starts_with("HEAD")) {
      EXPECT_EQ(a.body, c.body);
    }
  }
}

TEST_F(ServerFiles, FallbackThatLeavesTheRootIsRefusedAtLoad) {
  for (const char* bad : {"../outside.html", "/.secret/x", "a/../../b", "dir/", "a\\b"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ServerForm(root.Str(), {{"FallbackDocument", bad}}), platform::FormError);
  }
}

TEST_F(ServerFiles, ListingsOnlyWhenAskedWithEveryNameUsable) {
  {
    ServerForm off(root.Str());
    EXPECT_EQ(ParseAnswer(off.Get("GET /docs/ HTTP/1.0\r\n\r\n").answer).status_line, "HTTP/1.0 403 Forbidden");
  }
  ServerForm server(root.Str(), {{"DirectoryListing", 1}});
  const auto a = ParseAnswer(server.Get("GET /docs/ HTTP/1.0\r\n\r\n").answer);
  EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(a.Header("Content-type"), "text/html; charset=utf-8");
  EXPECT_EQ(a.Header("Content-Length"), std::to_string(a.body.size()));
  const std::string& page = a.body;
  EXPECT_NE(page.find("<title>Index of /docs/</title>"), std::string::npos);
  EXPECT_EQ(page.find(".hidden"), std::string::npos);
  // Folders first, then names in byte order; each link percent-encoded, each name escaped.
  const std::vector<std::string> links = {
      "href=\"../\"",
      "href=\"./sub/\">sub/</a>",
      "href=\"./%23hash\">#hash</a></td><td>2</td>",
      "href=\"./%3Cb%3E%26.txt\">&lt;b&gt;&amp;.txt</a>",
      "href=\"./a%20b.txt\">a b.txt</a></td><td>1</td>",
      "href=\"./q%3F.txt\">q?.txt</a></td><td>3</td>",
      "href=\"./%C3%BC.txt\">\xC3\xBC.txt</a></td><td>4</td>",
  };
  std::size_t at = 0;
  for (const std::string& link : links) {
    const auto found = page.find(link, at);
    EXPECT_NE(found, std::string::npos) << link << " after " << at << " in\n" << page;
    if (found != std::string::npos) at = found;
  }
  // Each link leads where it says.
  for (const std::string path : {"/docs/a%20b.txt", "/docs/%23hash", "/docs/q%3F.txt", "/docs/%C3%BC.txt"}) {
    EXPECT_EQ(ParseAnswer(server.Get("GET " + path + " HTTP/1.0\r\n\r\n").answer).status_line, "HTTP/1.0 200 OK")
        << path;
  }
  // The root lists no parent; HEAD gives the heading only.
  const std::string top = ParseAnswer(server.Get("GET / HTTP/1.0\r\n\r\n").answer).body;
  EXPECT_NE(top.find("href=\"./docs/\""), std::string::npos) << top;
  EXPECT_EQ(top.find("href=\"../\""), std::string::npos) << top;
  EXPECT_EQ(top.find(".secret"), std::string::npos) << top;
  EXPECT_EQ(ParseAnswer(server.Get("HEAD /docs/ HTTP/1.0\r\n\r\n").answer).body, "");
}

// The upload form is the program's to ask for: the page ends with it, and is otherwise the
// same page.
TEST_F(ServerFiles, ListingEndsWithTheUploadFormOnlyWhenAsked) {
  ServerForm plain(root.Str(), {{"DirectoryListing", 1}});
  ServerForm with_form(root.Str(), {{"DirectoryListing", 1}, {"ListingUploadForm", 1}});
  for (const char* target : {"/", "/docs/"}) {
    SCOPED_TRACE(target);
    const std::string request = std::string("GET ") + target + " HTTP/1.0\r\n\r\n";
    const std::string page = ParseAnswer(plain.Get(request).answer).body;
    const std::string form = ParseAnswer(with_form.Get(request).answer).body;
    EXPECT_EQ(page.find("<form"), std::string::npos);
    const std::string end = "</table></body></html>\n";
    ASSERT_TRUE(page.ends_with(end)) << page;
    const std::string before = page.substr(0, page.size() - end.size() + 8);  // up to </table>
    EXPECT_EQ(form,
              before +
                  "\n<form method=\"post\" enctype=\"multipart/form-data\"><input type=\"file\" "
                  "name=\"files\" multiple required> <button type=\"submit\">Upload</button>"
                  "</form>\n</body></html>\n");
  }
}

}  // namespace
}  // namespace quorvin::testing
