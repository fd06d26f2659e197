// URL to path resolution: whatever the URL, the path the server goes on with lies inside the
// document root, or the request is refused.
//
// Input: a flags byte, then the URL. Flags: bit 0 decodes the URL first as the request reader
// does (%xx and +), bit 1 adds a query (which makes the server refuse files it would serve).
//
// Checked: URLtoPath accepts only canonical paths below the root; FindTarget either writes a
// refusal (301, 400, 403, 404, 501) or leaves a target inside the root; and a file that
// WriteHeading opens is never a file outside the root nor a dot-file.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/host/file_system.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/server/http_connection.h"
#include "../server/fake_connection.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

// Only the resolution is exercised: nothing is read or sent.
class ResolveConnection final : public server::HttpConnection {
 public:
  using HttpConnection::HttpConnection;

 protected:
  int ReadSome(char*, int) override { return -1; }

  void WriteAll(std::string_view) override {}

  void WriteStreamThenClose(std::unique_ptr<platform::TStream>) override {}

  void CloseNow() override {}

  void AwaitWritable() override {}

  std::string LocalHostName() const override { return {}; }
};

// Inside: the root itself, or below it at a separator.
bool Inside(std::string_view root, std::string_view path) {
  return path.substr(0, root.size()) == root &&
         (path.size() == root.size() || path[root.size()] == '/');
}

// No "." or ".." component and no empty one (a "//") between the root and the end.
bool Canonical(std::string_view path) {
  std::size_t start = 1;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(start, end - start);
    if (name == "." || name == ".." || (name.empty() && end != path.size())) return false;
    start = end + 1;
  }
  return true;
}

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
};

Identity IdentityOf(const std::string& path) {
  struct stat st {};

  if (::stat(path.c_str(), &st) != 0) Finding("a file of the fuzzing site is gone", path);
  return {st.st_dev, st.st_ino};
}

// The files that must never be opened for an answer.
bool IsSecretFile(int fd) {
  static const std::vector<Identity> secrets = [] {
    const FuzzSite& s = FuzzSite::Instance();
    std::vector<Identity> ids;
    for (const char* rel : {"/canary.txt", "/site2/canary.txt", "/site.htm", "/site/.hidden",
                            "/site/.git/config", "/site/sub/.env"}) {
      ids.push_back(IdentityOf(s.base + rel));
    }
    return ids;
  }();

  struct stat st {};

  if (::fstat(fd, &st) != 0) return false;
  for (const Identity& id : secrets) {
    if (id.dev == st.st_dev && id.ino == st.st_ino) return true;
  }
  return false;
}

}  // namespace

int UrlPathOne(const std::uint8_t* data, std::size_t size) {
  const FuzzSite& site = FuzzSite::Instance();
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::string raw(in.Rest());

  quorvin::testing::FakeListener listener(site.root);
  const std::string& root = listener.RootPath();

  // URLtoPath alone, on the text as given.
  {
    ResolveConnection c(listener);
    std::string path = raw;
    if (c.URLtoPath(path)) {
      Check(Inside(root, path), "URLtoPath accepted a path outside the root", path);
      Check(Canonical(path), "URLtoPath accepted a path that is not canonical", path);
    }
  }

  // The whole resolution, as a GET would run it.
  ResolveConnection c(listener);
  c.Method = "GET";
  c.URL = (flags & 1) != 0 ? web::HTTPDecode(raw) : raw;
  c.FileMode = (flags & 2) == 0;
  if (!c.FileMode) c.Query = "q=1";
  c.FindTarget(c.TargetPath);
  const int code = c.StatusCode;
  Check(code == 0 || code == 301 || code == 400 || code == 403 || code == 404 || code == 501,
        "FindTarget answered with an unexpected status", std::to_string(code));
  if (code == 0 || code == 301) {
    Check(Inside(root, c.TargetPath), "FindTarget left a target outside the root", c.TargetPath);
    Check(Canonical(c.TargetPath), "FindTarget left a target that is not canonical", c.TargetPath);
  }
  if (!c.TranslatedPath.empty()) {
    Check(Inside(root, c.TranslatedPath), "a translated path outside the root", c.TranslatedPath);
  }
  if (code == 0 && c.FileMode) {
    c.WriteHeading();
    if (c.FileStream) {
      Check(!IsSecretFile(c.FileStream->Handle()), "a secret file was opened for an answer",
            c.TargetPath);
      Check(!host::IsHiddenBelow(root, c.TargetPath), "a dot-file was opened for an answer",
            c.TargetPath);
    }
  }
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::UrlPathOne(data, size);
}
#endif
