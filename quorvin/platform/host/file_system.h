#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The host file system as the components see it: full paths, attributes, existence and file
// dates. Paths are bytes; a path holding a zero byte names nothing (the system calls would cut
// it short and reach another file).
namespace quorvin::host {

inline constexpr char kPathDelim = '/';
// The longest full path, terminating zero included, that ExpandFileName gives.
inline constexpr std::size_t kMaxPath = 4096;

// The full path of `path`, resolved lexically: a relative path is taken from the current
// directory, "." and ".." components are resolved (".." at the root stays at the root) and runs
// of "/" collapse into one. A trailing "/" stays when the input had one ("dir/" and "dir" name
// the same directory but are different texts to the server). The file system is not consulted:
// symbolic links are not followed, and the result need not exist. A backslash is an ordinary
// character of a name here. Nullopt for an empty path, a path holding a zero byte, a relative
// path when the current directory is unknown, and a result of kMaxPath characters or more.
std::optional<std::string> ExpandFileName(std::string_view path);
// The full path of `path` followed by `more` (a folder and a name below it), as ExpandFileName
// gives it for the two texts joined, without joining them first.
std::optional<std::string> ExpandFileName(std::string_view path, std::string_view more);

// Attribute bits as the components expect them. A name that begins with "." is hidden.
inline constexpr std::uint32_t kFaReadOnly = 0x01;  // the owner may not write it
inline constexpr std::uint32_t kFaHidden = 0x02;
inline constexpr std::uint32_t kFaDirectory = 0x10;
inline constexpr std::uint32_t kFaDevice = 0x40;         // a FIFO, socket or device
inline constexpr std::uint32_t kFaNormal = 0x80;         // a regular file with no other bit
inline constexpr std::uint32_t kFaInvalid = 0xFFFFFFFF;  // no such entry

enum class FileKind { kNone, kRegular, kDirectory, kOther };

// What one stat of a path tells. Symbolic links are followed: a link to a file is a file.
struct FileInfo {
  FileKind kind = FileKind::kNone;
  std::uint32_t attributes = kFaInvalid;
  std::int64_t size = 0;
  std::time_t last_write = 0;  // Unix seconds
  std::int64_t last_write_ns = 0;  // the same in nanoseconds, where the file system keeps them
};

FileInfo GetFileInfo(std::string_view path);

// One entry of a folder: its name and what it is (links followed, as serving follows them;
// kNone when the link leads nowhere).
struct FolderEntry {
  std::string name;
  FileInfo info;
};
// The entries of the folder at `path`, "." and ".." left out, in no particular order; empty
// when it cannot be read.
std::vector<FolderEntry> ListFolder(std::string_view path);
// The same of a file already open as `fd` (fstat), named `path` for its hidden bit.
FileInfo GetOpenFileInfo(int fd, std::string_view path);
// kFaInvalid when nothing is there (or it can't be reached).
std::uint32_t GetFileAttributes(std::string_view path);
FileKind GetFileKind(std::string_view path);

// True for anything that is there and is not a directory.
bool FileExists(std::string_view path);
bool DirectoryExists(std::string_view path);
// The current directory without a trailing "/" (except for "/" itself); empty when unknown.
std::string GetCurrentDir();

// True when the last name of `path` or any directory name between `root` and it begins with
// ".". Names of `root` and above do not count: a site kept under ~/.local is not hidden. `root`
// is compared as the server's under-root test does (ASCII letter case ignored); a `path` that
// is not below `root` is judged by all of its names. Meant for full paths; a "." or ".."
// component left in `path` counts as hidden, which errs on the side of refusing.
bool IsHiddenBelow(std::string_view root, std::string_view path);

// The last-write time of the file or directory, in Unix seconds, or nullopt when there is none.
std::optional<std::time_t> FileAge(std::string_view path);

}  // namespace quorvin::host
