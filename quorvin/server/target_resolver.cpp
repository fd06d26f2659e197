#include "quorvin/server/target_resolver.h"

namespace quorvin::server {

namespace {

constexpr std::uint32_t kOpenForAnswer =
    platform::fmOpenRead | platform::fmShareDenyWrite | platform::fmNoBlock;

bool IsFolder(std::uint32_t attributes) {
  return attributes != host::kFaInvalid && (attributes & host::kFaDirectory) != 0;
}

// The folder named by `raw_path`, with its "/": relative links in the folder's page resolve
// against the folder only with it. One leading "/" however the path began: "//host/..." or
// "/\host/..." in a Location would send the browser to another site.
std::string FolderLocation(const TargetRequest& request) {
  std::string_view rest = request.RawPath;
  while (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) rest.remove_prefix(1);
  std::string location;
  location.reserve(rest.size() + 2);
  location.append(1, '/').append(rest).append(1, '/');
  if (request.HasQuery) location.append(1, '?').append(request.Query);
  return location;
}

}  // namespace

TargetResolution TargetResolver::FindTarget(const TargetRequest& request) const {
  TargetResolution target;
  target.Outcome = Locate(request, target);
  // Only a file about to be sent stays open.
  if (target.Outcome != TargetOutcome::kFile) target.FileStream.reset();
  return target;
}

TargetOutcome TargetResolver::Locate(const TargetRequest& request, TargetResolution& target) const {
  if (request.URL.find('\0') != std::string_view::npos) return TargetOutcome::kBadPath;
  std::string path(request.URL);
  if (!URLtoPath(path)) return TargetOutcome::kBadPath;
  target.FileAttributes = OpenTarget(path, request, target);
  std::string extra;
  if (target.FileAttributes == host::kFaInvalid) {
    // Walk upwards: a URL may continue below an existing file (/page.htm/more/parts).
    std::string last;
    StripLast(path, last);
    bool found = false;
    while (!path.empty()) {
      target.FileAttributes = AttributesOf(path);
      if (target.FileAttributes != host::kFaInvalid && !IsFolder(target.FileAttributes)) {
        found = true;
        break;
      }
      extra.insert(0, last);
      StripLast(path, last);
    }
    if (!found) return TargetOutcome::kNotFound;
    extra.insert(0, last);
  }
  target.TargetPath = std::move(path);
  if (!extra.empty()) {
    target.TranslatedPath = extra;
    if (!URLtoPath(target.TranslatedPath)) target.TranslatedPath.clear();
    target.ExtraPath = std::move(extra);
  }
  if (IsFolder(target.FileAttributes)) {
    if (request.URL.empty() || request.URL.back() != '/') {
      target.Location = FolderLocation(request);
      return TargetOutcome::kFolderWithoutSlash;
    }
    CheckDefault(target);
    if (request.Use == TargetUse::kQuery) return TargetOutcome::kFolderWithQuery;
  } else if (request.Use == TargetUse::kQuery) {
    return TargetOutcome::kFileWithQuery;
  }
  if (request.Use == TargetUse::kPost) return TargetOutcome::kPostTarget;
  return OpenFile(target);
}

std::uint32_t TargetResolver::AttributesOf(const std::string& path) const {
  std::uint32_t attributes = host::GetFileAttributes(path);
  // Nothing whose name, or the name of a folder between the root and it, begins with "." is
  // ever served: .git, .env and their like stay private.
  if (attributes != host::kFaInvalid && host::IsHiddenBelow(root_, path)) {
    attributes |= host::kFaHidden;
  }
  return attributes;
}

// The usual request names a file: it is opened at once and what it is comes from the open
// file, one lookup of the path instead of two (a stat, then the open). Folders, hidden names
// and anything that does not open take the long way, which tells them apart.
std::uint32_t TargetResolver::OpenTarget(const std::string& path, const TargetRequest& request,
                                         TargetResolution& target) const {
  if (request.Use == TargetUse::kSend && !request.URL.empty() && request.URL.back() != '/' &&
      !host::IsHiddenBelow(root_, path)) {
    auto file = platform::TFileStream::TryOpen(path, kOpenForAnswer);
    if (file) {
      const host::FileInfo info = host::GetOpenFileInfo(file->Handle(), path);
      if (info.kind == host::FileKind::kRegular) {
        target.FileStream = std::move(file);
        target.Info = info;
        return info.attributes;
      }
    }
  }
  return AttributesOf(path);
}

TargetOutcome TargetResolver::OpenFile(TargetResolution& target) const {
  if ((target.FileAttributes & host::kFaHidden) != 0) return TargetOutcome::kHidden;
  if ((target.FileAttributes & host::kFaDirectory) != 0) return TargetOutcome::kFolder;
  if (!target.FileStream) {
    // Opened without blocking: a FIFO under the root must not stall the whole server.
    target.FileStream = platform::TFileStream::TryOpen(target.TargetPath, kOpenForAnswer);
    if (!target.FileStream) return TargetOutcome::kUnavailable;
    target.Info = host::GetOpenFileInfo(target.FileStream->Handle(), target.TargetPath);
    if (target.Info.kind == host::FileKind::kNone) return TargetOutcome::kUnavailable;
  }
  // A FIFO, socket or device is no document.
  if (target.Info.kind != host::FileKind::kRegular) return TargetOutcome::kNotAFile;
  return TargetOutcome::kFile;
}

std::unique_ptr<platform::TFileStream> TargetResolver::OpenRegular(const std::string& path, host::FileInfo& info) {
  auto file = platform::TFileStream::TryOpen(path, kOpenForAnswer);
  if (!file) return nullptr;
  info = host::GetOpenFileInfo(file->Handle(), path);
  if (info.kind != host::FileKind::kRegular) return nullptr;
  return file;
}

bool TargetResolver::URLtoPath(std::string& path) const {
  auto full = host::ExpandFileName(root_, path);
  if (!full) return false;
  path = std::move(*full);
  // Inside the root: the root itself, or below it at a separator. Letter case counts, as it
  // does in this host's file names.
  return path.compare(0, root_.size(), root_) == 0 &&
         (path.size() == root_.size() || path[root_.size()] == host::kPathDelim);
}

void TargetResolver::StripLast(std::string& path, std::string& last) {
  if (path.empty()) {
    last.clear();
    return;
  }
  const auto i = path.rfind(host::kPathDelim);
  if (i == std::string::npos) {
    last.clear();
    path.clear();
    return;
  }
  last = path.substr(i);
  path.resize(i);
}

bool TargetResolver::CheckDefault(TargetResolution& target) const {
  std::string candidate = target.TargetPath;
  candidate += default_document_;
  const std::uint32_t attributes = AttributesOf(candidate);
  if (attributes == host::kFaInvalid || (attributes & host::kFaDirectory) != 0) return false;
  target.FileAttributes = attributes;
  target.TargetPath = std::move(candidate);
  return true;
}

}  // namespace quorvin::server
