// Target resolution alone: whatever the URL, the path it finds lies inside the document root,
// a file it opens to be sent is neither outside the root nor a dot-file, and a folder's redirect
// stays on this host.
//
// Input: a flags byte, then the URL. Flags: bit 0 decodes the URL first as the request reader
// does (%xx, "+" kept); bits 1-2 pick what the request wants of its target (send, with a query,
// post); bit 3 gives the path a query, which a folder's redirect repeats.
//
// Checked: URLtoPath accepts only canonical paths below the root; FindTarget gives an outcome
// its use allows, leaves a target inside the root, opens a file only to send it, and never one
// outside the root or below a dot-name; and the sanitizers see no fault.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/host/file_system.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/server/target_resolver.h"

#include "../server/fake_connection.h"
#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using server::TargetOutcome;
using server::TargetUse;

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

// A Location that begins with two separators names a host: what follows all its leading
// separators, up to a "?" or "#" (browsers read "\\" as "/" and skip further separators).
bool NamesAHost(std::string_view location) {
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (location.size() < 2 || !separator(location[0]) || !separator(location[1])) return false;
  std::string_view rest = location;
  while (!rest.empty() && separator(rest.front())) rest.remove_prefix(1);
  return !rest.empty() && rest.front() != '?' && rest.front() != '#';
}

// Whether `use` can give `outcome`.
bool Allowed(TargetUse use, TargetOutcome outcome) {
  switch (outcome) {
    case TargetOutcome::kBadPath:
    case TargetOutcome::kNotFound:
    case TargetOutcome::kFolderWithoutSlash:
      return true;
    case TargetOutcome::kFile:
    case TargetOutcome::kFolder:
    case TargetOutcome::kHidden:
    case TargetOutcome::kNotAFile:
    case TargetOutcome::kUnavailable:
      return use == TargetUse::kSend;
    case TargetOutcome::kFileWithQuery:
    case TargetOutcome::kFolderWithQuery:
      return use == TargetUse::kQuery;
    case TargetOutcome::kPostTarget:
      return use == TargetUse::kPost;
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
  const server::TargetResolver resolver(root, listener.DefaultFile());

  // URLtoPath alone, on the text as given.
  {
    std::string path = raw;
    if (resolver.URLtoPath(path)) {
      Check(Inside(root, path), "URLtoPath accepted a path outside the root", path);
      Check(Canonical(path), "URLtoPath accepted a path that is not canonical", path);
    }
  }

  // The whole resolution.
  static constexpr TargetUse kUses[] = {TargetUse::kSend, TargetUse::kQuery, TargetUse::kPost,
                                        TargetUse::kSend};
  const TargetUse use = kUses[(flags >> 1) & 3];
  const std::string url = (flags & 1) != 0 ? web::HTTPDecode(raw) : raw;
  const bool has_query = (flags & 8) != 0 || use == TargetUse::kQuery;
  const server::TargetResolution t = resolver.FindTarget({url, raw, "q=1", has_query, use});
  Check(Allowed(use, t.Outcome), "FindTarget gave an outcome its use does not allow",
        std::to_string(static_cast<int>(t.Outcome)));
  if (t.Outcome != TargetOutcome::kBadPath && t.Outcome != TargetOutcome::kNotFound) {
    Check(Inside(root, t.TargetPath), "FindTarget left a target outside the root", t.TargetPath);
    Check(Canonical(t.TargetPath), "FindTarget left a target that is not canonical", t.TargetPath);
  }
  if (!t.TranslatedPath.empty()) {
    Check(Inside(root, t.TranslatedPath), "a translated path outside the root", t.TranslatedPath);
  }
  if (t.Outcome == TargetOutcome::kFolderWithoutSlash) {
    Check(!NamesAHost(t.Location), "a folder's redirect names another host", t.Location);
  }
  Check((t.FileStream != nullptr) == (t.Outcome == TargetOutcome::kFile),
        "a file left open for an answer that does not send it", t.TargetPath);
  if (t.FileStream) {
    Check(!IsSecretFile(t.FileStream->Handle()), "a secret file was opened for an answer",
          t.TargetPath);
    Check(!host::IsHiddenBelow(root, t.TargetPath), "a dot-file was opened for an answer",
          t.TargetPath);
  }
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::UrlPathOne(data, size);
}
#endif
