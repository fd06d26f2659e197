#include "quorvin/server/target_resolver.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fake_connection.h"
#include "test_support.h"

namespace quorvin::testing {
namespace {

using server::TargetOutcome;
using server::TargetUse;

// A document root with a file, folders with and without a default document, private names, a
// FIFO and a socket.
class Site {
 public:
  Site() {
    root_.Write("index.htm", "home");
    root_.Write("page.htm", "page");
    root_.Write("docs/index.htm", "docs");
    root_.Write("nodefault/x.htm", "x");
    root_.Write(".hidden", "secret");
    root_.Write(".git/config", "secret");
    root_.Write("sub/.env", "secret");
    ::mkfifo((root_.Path() / "pipe").c_str(), 0600);
    socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (root_.Path() / "sock").c_str());
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }

  ~Site() { ::close(socket_); }

  const std::string& Root() const { return listener_.RootPath(); }

  server::TargetResolver Resolver() const { return server::TargetResolver(Root(), "index.htm"); }

 private:
  TempDir root_;
  FakeListener listener_{root_.Str()};
  int socket_ = -1;
};

struct TargetCase {
  const char* name;
  std::string url;
  TargetUse use;
  TargetOutcome outcome;
  std::string target;  // below the root; "" when nothing is found
  std::string extra = {};
};

class ResolveTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ResolveTarget, FindsWhatTheUrlNames) {
  Site site;
  const TargetCase& c = GetParam();
  const server::TargetResolution t = site.Resolver().FindTarget({c.url, c.url, "", false, c.use});
  EXPECT_EQ(t.Outcome, c.outcome);
  if (!c.target.empty()) {
    EXPECT_EQ(t.TargetPath, site.Root() + c.target);
  }
  EXPECT_EQ(t.ExtraPath, c.extra);
  EXPECT_EQ(t.TranslatedPath, c.extra.empty() ? "" : site.Root() + c.extra);
  // Only a file about to be sent is open.
  EXPECT_EQ(t.FileStream != nullptr, c.outcome == TargetOutcome::kFile);
}

INSTANTIATE_TEST_SUITE_P(
    , ResolveTarget,
    ::testing::Values(
        TargetCase{"Root", "/", TargetUse::kSend, TargetOutcome::kFile, "/index.htm"},
        TargetCase{"File", "/page.htm", TargetUse::kSend, TargetOutcome::kFile, "/page.htm"},
        TargetCase{"FolderWithSlash", "/docs/", TargetUse::kSend, TargetOutcome::kFile,
                   "/docs/index.htm"},
        TargetCase{"DotDotInside", "/docs/../page.htm", TargetUse::kSend, TargetOutcome::kFile,
                   "/page.htm"},
        TargetCase{"PathBelowAFile", "/page.htm/extra/path", TargetUse::kSend, TargetOutcome::kFile,
                   "/page.htm", "/extra/path"},
        TargetCase{"FolderWithoutSlash", "/docs", TargetUse::kSend,
                   TargetOutcome::kFolderWithoutSlash, "/docs"},
        TargetCase{"Missing", "/missing/deeper", TargetUse::kSend, TargetOutcome::kNotFound, ""},
        TargetCase{"AboveTheRoot", "/../x", TargetUse::kSend, TargetOutcome::kBadPath, ""},
        TargetCase{"NulByte", std::string("/page.htm\0.txt", 14), TargetUse::kSend,
                   TargetOutcome::kBadPath, ""},
        TargetCase{"BackslashIsNoSeparator", "/docs\\index.htm", TargetUse::kSend,
                   TargetOutcome::kNotFound, ""},
        TargetCase{"DotFile", "/.hidden", TargetUse::kSend, TargetOutcome::kHidden, "/.hidden"},
        TargetCase{"DotFolder", "/.git/config", TargetUse::kSend, TargetOutcome::kHidden,
                   "/.git/config"},
        TargetCase{"DotFolderItself", "/.git/", TargetUse::kSend, TargetOutcome::kHidden, "/.git/"},
        TargetCase{"DotFileInFolder", "/sub/.env", TargetUse::kSend, TargetOutcome::kHidden,
                   "/sub/.env"},
        TargetCase{"FolderWithoutDefault", "/nodefault/", TargetUse::kSend, TargetOutcome::kFolder,
                   "/nodefault/"},
        TargetCase{"Fifo", "/pipe", TargetUse::kSend, TargetOutcome::kNotAFile, "/pipe"},
        TargetCase{"SocketDoesNotOpen", "/sock", TargetUse::kSend, TargetOutcome::kUnavailable,
                   "/sock"},
        TargetCase{"FileWithQuery", "/page.htm", TargetUse::kQuery, TargetOutcome::kFileWithQuery,
                   "/page.htm"},
        TargetCase{"HiddenFileWithQuery", "/.hidden", TargetUse::kQuery,
                   TargetOutcome::kFileWithQuery, "/.hidden"},
        TargetCase{"FolderWithQuery", "/docs/", TargetUse::kQuery, TargetOutcome::kFolderWithQuery,
                   "/docs/index.htm"},
        TargetCase{"PostToFile", "/page.htm", TargetUse::kPost, TargetOutcome::kPostTarget,
                   "/page.htm"},
        TargetCase{"PostToFolder", "/nodefault/", TargetUse::kPost, TargetOutcome::kPostTarget,
                   "/nodefault/"},
        TargetCase{"PostToMissing", "/missing", TargetUse::kPost, TargetOutcome::kNotFound, ""},
        TargetCase{"PostToFolderWithoutSlash", "/docs", TargetUse::kPost,
                   TargetOutcome::kFolderWithoutSlash, "/docs"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(TargetResolver, FolderRedirectStaysOnThisHost) {
  Site site;

  struct {
    std::string url, raw_path, query;
    bool has_query;
    std::string location;
  } cases[] = {{"/docs", "/do%63s", "", false, "/do%63s/"},
               {"/docs", "/docs", "a=1&b", true, "/docs/?a=1&b"},
               {"/docs", "/docs", "", true, "/docs/?"},
               {"//docs", "//docs", "", false, "/docs/"},
               {"//docs", "/\\/docs", "", false, "/docs/"}};

  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw_path);
    const auto t =
        site.Resolver().FindTarget({c.url, c.raw_path, c.query, c.has_query, TargetUse::kQuery});
    EXPECT_EQ(t.Outcome, TargetOutcome::kFolderWithoutSlash);
    EXPECT_EQ(t.Location, c.location);
  }
}

TEST(TargetResolver, UrlToPathKeepsInsideTheRoot) {
  Site site;
  const std::string root = site.Root();
  const std::string name = root.substr(root.rfind('/') + 1);

  struct {
    std::string url;
    bool inside;
    std::string path;
  } cases[] = {{"/a//b/./c", true, root + "/a/b/c"},
               {"/a/../../" + name + "/b", true, root + "/b"},
               {"", true, root},
               {"/..", false, ""},
               {"/../" + name + "2/x", false, ""},  // a sibling whose name begins with the root's
               {std::string("/a\0b", 4), false, ""}};

  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::string path = c.url;
    EXPECT_EQ(site.Resolver().URLtoPath(path), c.inside);
    if (c.inside) {
      EXPECT_EQ(path, c.path);
    }
  }
}

}  // namespace
}  // namespace quorvin::testing
