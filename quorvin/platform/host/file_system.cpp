#include "quorvin/platform/host/file_system.h"

#include <dirent.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <vector>

#include <unistd.h>

#include "quorvin/platform/core/text.h"

namespace quorvin::host {
namespace {

bool HoldsZero(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

// Calls `fn` with each name of `path` between separators (empty names included).
template <class Fn>
void ForEachName(std::string_view path, Fn&& fn) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(kPathDelim, start);
    if (end == std::string_view::npos) end = path.size();
    fn(path.substr(start, end - start));
    start = end + 1;
  }
}

// Adds the names of `path` to `out`, a full path kept without its trailing separator ("" for
// the root), resolving "." and "..".
void AppendResolved(std::string& out, std::string_view path) {
  ForEachName(path, [&out](std::string_view name) {
    if (name.empty() || name == ".") return;
    if (name == "..") {
      out.resize(out.rfind(kPathDelim) == std::string::npos ? 0 : out.rfind(kPathDelim));
      return;
    }
    out += kPathDelim;
    out += name;
  });
}

// The last name of a path, ignoring trailing separators.
std::string_view LastName(std::string_view path) {
  while (!path.empty() && path.back() == kPathDelim) path.remove_suffix(1);
  const std::size_t slash = path.rfind(kPathDelim);
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsHiddenName(std::string_view name) {
  return !name.empty() && name.front() == '.' && name != "." && name != "..";
}

}  // namespace

std::optional<std::string> ExpandFileName(std::string_view path) {
  return ExpandFileName(path, {});
}

std::optional<std::string> ExpandFileName(std::string_view path, std::string_view more) {
  if (path.empty()) std::swap(path, more);
  if (path.empty() || HoldsZero(path) || HoldsZero(more)) return std::nullopt;
  // Names are resolved one by one, so the two texts resolve apart as they would joined, as long
  // as no name spans the two.
  if (!more.empty() && path.back() != kPathDelim && more.front() != kPathDelim) {
    std::string joined(path);
    joined += more;
    return ExpandFileName(joined, {});
  }
  std::string out;
  if (path.front() != kPathDelim) {
    const std::string cwd = GetCurrentDir();
    if (cwd.empty()) return std::nullopt;
    out.reserve(cwd.size() + path.size() + more.size() + 1);
    AppendResolved(out, cwd);
  } else {
    out.reserve(path.size() + more.size() + 1);
  }
  AppendResolved(out, path);
  AppendResolved(out, more);
  const char last = more.empty() ? path.back() : more.back();
  if (out.empty() || last == kPathDelim) out += kPathDelim;
  if (out.size() >= kMaxPath) return std::nullopt;
  return out;
}

namespace {

FileInfo InfoOf(const struct stat& st, std::string_view path) {
  FileInfo info;
  std::uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    info.kind = FileKind::kDirectory;
    attributes |= kFaDirectory;
  } else {
    info.kind = S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
    if (info.kind == FileKind::kOther) attributes |= kFaDevice;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kFaReadOnly;
  }
  if (IsHiddenName(LastName(path))) attributes |= kFaHidden;
  info.attributes = attributes == 0 ? kFaNormal : attributes;
  info.size = static_cast<std::int64_t>(st.st_size);
  info.last_write = st.st_mtime;
  info.last_write_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return info;
}

}  // namespace

FileInfo GetFileInfo(std::string_view path) {
  if (path.empty() || HoldsZero(path)) return {};

  struct stat st {};

  if (::stat(std::string(path).c_str(), &st) != 0) return {};
  return InfoOf(st, path);
}

std::vector<FolderEntry> ListFolder(std::string_view path) {
  std::vector<FolderEntry> entries;
  DIR* folder = ::opendir(std::string(path).c_str());
  if (folder == nullptr) return entries;
  const int fd = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry item;
    item.name = std::string(name);
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, 0) == 0) item.info = InfoOf(st, name);
    entries.push_back(std::move(item));
  }
  ::closedir(folder);
  return entries;
}

FileInfo GetOpenFileInfo(int fd, std::string_view path) {
  struct stat st {};

  if (fd < 0 || ::fstat(fd, &st) != 0) return {};
  return InfoOf(st, path);
}

std::uint32_t GetFileAttributes(std::string_view path) {
  return GetFileInfo(path).attributes;
}

FileKind GetFileKind(std::string_view path) {
  return GetFileInfo(path).kind;
}

bool FileExists(std::string_view path) {
  const FileKind kind = GetFileKind(path);
  return kind == FileKind::kRegular || kind == FileKind::kOther;
}

bool DirectoryExists(std::string_view path) {
  return GetFileKind(path) == FileKind::kDirectory;
}

std::string GetCurrentDir() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool IsHiddenBelow(std::string_view root, std::string_view path) {
  while (root.size() > 1 && root.back() == kPathDelim) root.remove_suffix(1);
  std::string_view below = path;
  if (!root.empty() && path.size() >= root.size() &&
      platform::SameText(path.substr(0, root.size()), root) &&
      (path.size() == root.size() || root.back() == kPathDelim ||
       path[root.size()] == kPathDelim)) {
    below = path.substr(root.size());
  }
  bool hidden = false;
  ForEachName(below, [&hidden](std::string_view name) {
    if (!name.empty() && name.front() == '.') hidden = true;
  });
  return hidden;
}

std::optional<std::time_t> FileAge(std::string_view path) {
  const FileInfo info = GetFileInfo(path);
  if (info.kind == FileKind::kNone) return std::nullopt;
  return info.last_write;
}

}  // namespace quorvin::host
