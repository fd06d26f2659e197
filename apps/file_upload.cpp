#include "file_upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::apps {

namespace {

// What became of an upload (kReady: nothing yet, it may go ahead). Each has one answer.
enum class Outcome {
  kReady,
  kCreated,
  kReplaced,
  kBadName,   // a name that may not be written
  kDenied,    // the system refused to write the folder
  kNoFolder,  // the folder named does not exist
  kIsFolder,  // the target is a folder
  kExists,    // a file of that name exists, and may not be replaced
  kNoRoom,    // the disk is full
  kFailed,
};

struct Answer {
  int status;
  const char* text;
};

Answer AnswerFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReady:
    case Outcome::kCreated:
      return {201, "created\n"};
    case Outcome::kReplaced:
      return {204, ""};
    case Outcome::kBadName:
      return {403, "this name may not be written\n"};
    case Outcome::kDenied:
      return {403, "this folder may not be written\n"};
    case Outcome::kNoFolder:
      return {409, "the folder does not exist\n"};
    case Outcome::kIsFolder:
      return {409, "a folder has this name\n"};
    case Outcome::kExists:
      return {409, "a file of this name exists\n"};
    case Outcome::kNoRoom:
      return {507, "no room left on the disk\n"};
    case Outcome::kFailed:
      break;
  }
  return {500, "the file could not be written\n"};
}

// What a failed system call on the way to the file says of the upload.
Outcome FromErrno(int code) {
  switch (code) {
    case EACCES:
    case EPERM:
    case EROFS:
      return Outcome::kDenied;
    case ENOSPC:
    case EDQUOT:
      return Outcome::kNoRoom;
    case ENAMETOOLONG:
      return Outcome::kBadName;
    case ENOENT:
    case ENOTDIR:
      return Outcome::kNoFolder;  // gone, or never a folder
    case EISDIR:
      return Outcome::kIsFolder;
    case EEXIST:
    case ENOTEMPTY:
      return Outcome::kExists;
    default:
      return Outcome::kFailed;
  }
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string out(real);
  std::free(real);
  return out;
}

// Where an upload to `url_path` (decoded) goes: the folder and the file in it, each a full
// path whose folders are real (no link left in them), or why it may not go anywhere.
struct Target {
  Outcome outcome = Outcome::kReady;
  std::string folder;
  std::string path;
};

Target Locate(const UploadSettings& settings, std::string_view url_path) {
  Target target;
  if (url_path.empty() || url_path.front() != '/' ||
      url_path.find('\0') != std::string_view::npos) {
    target.outcome = Outcome::kBadName;
    return target;
  }
  std::vector<std::string_view> names;
  for (std::string_view rest = url_path.substr(1); !rest.empty();) {
    const auto slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    // No "." or "..", nor any other name that begins with "." (.git, .env, and the temporary
    // files of uploads in progress): what the server never serves, it never writes either.
    if (!name.empty() && name.front() == '.') {
      target.outcome = Outcome::kBadName;
      return target;
    }
    if (!name.empty()) names.push_back(name);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (names.empty() || url_path.back() == '/') {
    target.outcome = Outcome::kIsFolder;
    return target;
  }
  std::string folder = settings.root;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) folder.append(1, '/').append(names[i]);

  struct stat info {};

  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    target.outcome = errno == ENAMETOOLONG ? Outcome::kBadName : Outcome::kNoFolder;
    return target;
  }
  // The server follows links when it serves; a file it writes must be below the root all the
  // same, wherever the links on the way lead.
  const std::string root = RealPath(settings.root);
  target.folder = RealPath(folder);
  const bool below = !root.empty() && !target.folder.empty() &&
                     (root == "/" || target.folder == root ||
                      target.folder.compare(0, root.size() + 1, root + "/") == 0);
  if (!below) {
    target.outcome = Outcome::kBadName;
    return target;
  }
  target.path = (target.folder == "/" ? "" : target.folder) + "/" + std::string(names.back());
  if (::lstat(target.path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      target.outcome = Outcome::kIsFolder;
    } else if (!settings.overwrite) {
      target.outcome = Outcome::kExists;
    }
  } else if (errno != ENOENT) {
    target.outcome = FromErrno(errno);
  }
  return target;
}

// The body of an upload on its way to its file: written to a temporary file in the target's
// folder as it arrives, and put in place by Commit. Destroyed before that (the request failed,
// the connection closed), it removes the temporary file. An upload that may not go ahead
// takes the body all the same, dropping it, so that the answer can say why.
class UploadFile final : public platform::TStream {
 public:
  static std::unique_ptr<UploadFile> Begin(const UploadSettings& settings,
                                           std::string_view url_path) {
    auto upload = std::unique_ptr<UploadFile>(new UploadFile(settings.overwrite));
    Target target = Locate(settings, url_path);
    upload->outcome_ = target.outcome;
    if (target.outcome != Outcome::kReady) return upload;
    upload->path_ = std::move(target.path);
    // A name of its own in the same folder, so that the rename cannot cross file systems; it
    // begins with ".", so it is never served or listed while the body arrives.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "/.upload-%08x", static_cast<unsigned>(random()));
      std::string temp = target.folder + name;
      // Appending: whoever rewinds the stream to read it, the body's pieces go to the end.
      const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
      if (fd >= 0) {
        upload->fd_ = fd;
        upload->temp_ = std::move(temp);
        return upload;
      }
      if (errno != EEXIST) break;
    }
    upload->outcome_ = FromErrno(errno);
    return upload;
  }

  ~UploadFile() override {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override {
    if (fd_ < 0) return 0;
    const ssize_t n =
        ::read(fd_, buffer, static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
    return n;
  }

  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (fd_ < 0) return count;  // refused: dropped
    const ssize_t n =
        ::write(fd_, buffer, static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    if (n < 0) throw std::system_error(errno, std::generic_category(), "cannot write the upload");
    return n;
  }

  std::int64_t Seek(std::int64_t offset, platform::TSeekOrigin origin) override {
    if (fd_ < 0) return 0;
    const int whence = origin == platform::TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == platform::TSeekOrigin::soCurrent ? SEEK_CUR
                                                                    : SEEK_END;
    const off_t at = ::lseek(fd_, offset, whence);
    if (at < 0) throw std::system_error(errno, std::generic_category(), "seek");
    return at;
  }

  void SetSize(std::int64_t) override {}

  // Puts the file in place, once the whole body has arrived: kCreated, kReplaced, or why not.
  Outcome Commit() {
    if (outcome_ != Outcome::kReady) return outcome_;
    if (!overwrite_) {
      // Never over a file that appeared while the body arrived.
      if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) == 0) {
        return Committed(Outcome::kCreated);
      }
      if (errno != EINVAL && errno != ENOSYS) return outcome_ = FromErrno(errno);
      // A file system that cannot rename without replacing: a second name, then the first
      // goes.
      if (::link(temp_.c_str(), path_.c_str()) != 0) return outcome_ = FromErrno(errno);
      ::unlink(temp_.c_str());
      return Committed(Outcome::kCreated);
    }

    struct stat info {};

    const bool existed = ::lstat(path_.c_str(), &info) == 0;
    if (existed && S_ISDIR(info.st_mode)) return outcome_ = Outcome::kIsFolder;
    if (::rename(temp_.c_str(), path_.c_str()) != 0) return outcome_ = FromErrno(errno);
    return Committed(existed ? Outcome::kReplaced : Outcome::kCreated);
  }

 private:
  explicit UploadFile(bool overwrite) : overwrite_(overwrite) {}

  Outcome Committed(Outcome outcome) {
    temp_.clear();  // it has the target's name now: nothing to remove
    return outcome_ = outcome;
  }

  bool overwrite_;
  Outcome outcome_ = Outcome::kReady;
  std::string path_;  // the target
  std::string temp_;  // the temporary file while it exists under that name
  int fd_ = -1;
};

// The URL path as a Location names it: each name percent-encoded.
std::string Encoded(std::string_view url_path) {
  std::string out;
  for (std::string_view rest = url_path; !rest.empty();) {
    const auto slash = rest.find('/');
    out += web::HTTPEncode(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    out += '/';
    rest.remove_prefix(slash + 1);
  }
  return out;
}

void Store(const UploadSettings& settings, web::TWebRequest& request, web::TWebResponse& response) {
  const std::string url_path = request.PathInfo();
  auto* upload = dynamic_cast<UploadFile*>(request.BodyStream());
  std::unique_ptr<UploadFile> own;
  if (upload == nullptr) {
    // The server hands no stream over for a request without a body: an empty file. Whatever
    // body the server held instead goes in all the same.
    own = UploadFile::Begin(settings, url_path);
    upload = own.get();
    if (platform::TStream* held = request.BodyStream(); held != nullptr && held->Size() > 0) {
      upload->CopyFrom(*held, 0);
    }
  }
  const Outcome outcome = upload->Commit();
  const Answer answer = AnswerFor(outcome);
  response.SetStatusCode(answer.status);
  if (outcome == Outcome::kCreated) response.SetCustomHeader("Location", Encoded(url_path));
  if (answer.status != 204) {
    response.SetContentType("text/plain; charset=utf-8");
    response.SetContent(answer.text);
  }
}

}  // namespace

void AddUploadAction(web::TCustomWebDispatcher& dispatcher, UploadSettings settings) {
  auto shared = std::make_shared<const UploadSettings>(std::move(settings));
  web::TWebActionItem& action = dispatcher.Actions().Add(
      "Upload", "*", web::TMethodType::mtPut,
      [shared](platform::TComponent*, web::TWebRequest& request, web::TWebResponse& response,
               bool&) { Store(*shared, request, response); });
  action.OnBodyStart = [shared](web::TWebRequest& request,
                                bool&) -> std::unique_ptr<platform::TStream> {
    return UploadFile::Begin(*shared, request.PathInfo());
  };
}

}  // namespace quorvin::apps
