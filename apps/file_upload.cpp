#include "file_upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/platform/web/multipart.h"

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
  // A form posted to a folder:
  kMalformed,  // the body is not a multipart/form-data body that ends
  kNoFile,     // the form holds no file
  kTwice,      // the form holds two files of one name
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
    case Outcome::kMalformed:
      return {400, "the form could not be read\n"};
    case Outcome::kNoFile:
      return {400, "the form holds no file\n"};
    case Outcome::kTwice:
      return {409, "the form holds two files of this name\n"};
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

// The names of a decoded URL path, empty ones left out; nullopt when it is no path ("/" first,
// no NUL) or a name begins with ".": no "." or "..", nor any other name that begins with "."
// (.git, .env, and the temporary files of uploads in progress). What the server never serves,
// it never writes either.
std::optional<std::vector<std::string_view>> NamesOf(std::string_view url_path) {
  if (url_path.empty() || url_path.front() != '/' ||
      url_path.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::vector<std::string_view> names;
  for (std::string_view rest = url_path.substr(1); !rest.empty();) {
    const auto slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    if (!name.empty() && name.front() == '.') return std::nullopt;
    if (!name.empty()) names.push_back(name);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return names;
}

// The folder that `names` lead to below the root, as a full path without links in it (kReady),
// or why there is none: kNoFolder, or kBadName for one whose links lead out of the root.
Outcome FindFolder(const UploadSettings& settings, std::span<const std::string_view> names,
                   std::string& real) {
  std::string folder = settings.root;
  for (const std::string_view name : names) folder.append(1, '/').append(name);

  struct stat info {};

  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return errno == ENAMETOOLONG ? Outcome::kBadName : Outcome::kNoFolder;
  }
  // The server follows links when it serves; a file it writes must be below the root all the
  // same, wherever the links on the way lead.
  const std::string root = RealPath(settings.root);
  real = RealPath(folder);
  const bool below =
      !root.empty() && !real.empty() &&
      (root == "/" || real == root || real.compare(0, root.size() + 1, root + "/") == 0);
  return below ? Outcome::kReady : Outcome::kBadName;
}

std::string InFolder(const std::string& folder, std::string_view name) {
  return (folder == "/" ? "" : folder) + "/" + std::string(name);
}

// Whether a file may be written at `path`: kReady, or kIsFolder, kExists (unless `overwrite`)
// or what the system says.
Outcome MayWrite(const std::string& path, bool overwrite) {
  struct stat info {};

  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Outcome::kIsFolder;
    return overwrite ? Outcome::kReady : Outcome::kExists;
  }
  return errno == ENOENT ? Outcome::kReady : FromErrno(errno);
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
  const auto names = NamesOf(url_path);
  if (!names) {
    target.outcome = Outcome::kBadName;
    return target;
  }
  if (names->empty() || url_path.back() == '/') {
    target.outcome = Outcome::kIsFolder;
    return target;
  }
  target.outcome = FindFolder(settings, std::span(*names).first(names->size() - 1), target.folder);
  if (target.outcome != Outcome::kReady) return target;
  target.path = InFolder(target.folder, names->back());
  target.outcome = MayWrite(target.path, settings.overwrite);
  return target;
}

// Creates a temporary file in `folder` and opens it with `flags` (and O_CREAT | O_EXCL): its
// descriptor, its path in `temp`; -1 with errno set when it cannot. It is in the folder its
// file goes to, so that the rename cannot cross file systems, and its name begins with ".", so
// it is never served or listed while the body arrives.
int CreateTemporary(const std::string& folder, int flags, std::string& temp) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "/.upload-%08x", static_cast<unsigned>(random()));
    std::string path = (folder == "/" ? "" : folder) + name;
    const int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      temp = std::move(path);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  return -1;
}

// Gives the whole file `temp` its name `path`: kCreated or kReplaced (and `temp` is gone), or
// why not (and `temp` is still there).
Outcome PutInPlace(const std::string& temp, const std::string& path, bool overwrite) {
  if (!overwrite) {
    // Never over a file that appeared while the body arrived.
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      return Outcome::kCreated;
    }
    if (errno != EINVAL && errno != ENOSYS) return FromErrno(errno);
    // A file system that cannot rename without replacing: a second name, then the first goes.
    if (::link(temp.c_str(), path.c_str()) != 0) return FromErrno(errno);
    ::unlink(temp.c_str());
    return Outcome::kCreated;
  }

  struct stat info {};

  const bool existed = ::lstat(path.c_str(), &info) == 0;
  if (existed && S_ISDIR(info.st_mode)) return Outcome::kIsFolder;
  if (::rename(temp.c_str(), path.c_str()) != 0) return FromErrno(errno);
  return existed ? Outcome::kReplaced : Outcome::kCreated;
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
    // Appending: whoever rewinds the stream to read it, the body's pieces go to the end.
    upload->fd_ = CreateTemporary(target.folder, O_RDWR | O_APPEND, upload->temp_);
    if (upload->fd_ < 0) upload->outcome_ = FromErrno(errno);
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
    outcome_ = PutInPlace(temp_, path_, overwrite_);
    // It has the target's name now: nothing to remove.
    if (outcome_ == Outcome::kCreated || outcome_ == Outcome::kReplaced) temp_.clear();
    return outcome_;
  }

 private:
  explicit UploadFile(bool overwrite) : overwrite_(overwrite) {}

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

// A name as the answer's text shows it: quoted, control characters as "?".
std::string Shown(std::string_view name) {
  if (name.empty()) return "a file without a name";
  std::string out = "\"";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return out + "\"";
}

// A form posted to a folder (multipart/form-data), taken as its body arrives: each file part
// goes to a temporary file of its own in the folder as its bytes come, and waits there under
// that name until the whole body has come; then all of them are put in place (Finish). So an
// upload either stores every file or none: a part that may not be stored, a malformed body or
// a body cut off (the stream destroyed before Finish) leaves no file of the request behind, and
// with overwriting allowed no existing file has been replaced by then either. Once it has
// failed the rest of the body is dropped as it arrives, so that the answer can say why.
class FormUpload final : public platform::TStream, private web::MultipartReader::Handler {
 public:
  // The form `request` posts, or nullptr when it is none of this action's: a content type
  // other than multipart/form-data, or a path that is not a folder below the root a file may
  // be written to.
  static std::unique_ptr<FormUpload> Begin(const UploadSettings& settings,
                                           const web::TWebRequest& request) {
    const std::string type = request.ContentType();
    if (!platform::SameText(platform::Trim(std::string_view(type).substr(0, type.find(';'))),
                            "multipart/form-data")) {
      return nullptr;
    }
    const std::string url_path = request.PathInfo();  // the names are views into it
    const auto names = NamesOf(url_path);
    std::string folder;
    if (!names || FindFolder(settings, *names, folder) != Outcome::kReady) return nullptr;
    auto upload = std::unique_ptr<FormUpload>(new FormUpload(settings.overwrite));
    upload->folder_ = std::move(folder);
    if (const auto boundary = web::MultipartReader::BoundaryOf(type)) {
      web::MultipartReader::Handler& parts = *upload;
      upload->reader_ = std::make_unique<web::MultipartReader>(*boundary, parts);
    } else {
      upload->Fail(Outcome::kMalformed, {}, "its Content-Type has no usable boundary");
    }
    return upload;
  }

  ~FormUpload() override { Discard(); }

  FormUpload(const FormUpload&) = delete;
  FormUpload& operator=(const FormUpload&) = delete;

  // Nothing is kept to be read back: the parts are in their files.
  std::int64_t Read(void*, std::int64_t) override { return 0; }

  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (outcome_ == Outcome::kReady && !done_) {
      std::size_t used = 0;
      const auto result = reader_->Feed(
          std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(count)),
          used);
      if (result == web::MultipartReader::Result::kBad) {
        Fail(Outcome::kMalformed, {}, reader_->Error());
      } else if (result == web::MultipartReader::Result::kDone) {
        done_ = true;
      }
    }
    return count;
  }

  std::int64_t Seek(std::int64_t, platform::TSeekOrigin) override { return 0; }

  void SetSize(std::int64_t) override {}

  // The body has ended: puts every file in place, or none. kCreated, or why not.
  Outcome Finish() {
    if (outcome_ == Outcome::kReady && !done_ &&
        reader_->Finish() == web::MultipartReader::Result::kBad) {
      Fail(Outcome::kMalformed, {}, reader_->Error());
    }
    if (outcome_ == Outcome::kReady && waiting_.empty()) Fail(Outcome::kNoFile, {});
    if (outcome_ != Outcome::kReady) return outcome_;
    // Every name checked before any is taken, so that a rename refused halfway, which could
    // not give a replaced file its old content back, is left to files that appear meanwhile.
    for (const Waiting& file : waiting_) {
      if (const Outcome outcome = MayWrite(file.path, overwrite_); outcome != Outcome::kReady) {
        return Fail(outcome, file.name);
      }
    }
    std::vector<std::string> created;
    for (Waiting& file : waiting_) {
      const Outcome outcome = PutInPlace(file.temp, file.path, overwrite_);
      if (outcome != Outcome::kCreated && outcome != Outcome::kReplaced) {
        for (const std::string& path : created) ::unlink(path.c_str());
        return Fail(outcome, file.name);
      }
      file.temp.clear();
      if (outcome == Outcome::kCreated) created.push_back(file.path);
    }
    stored_ = waiting_.size();
    waiting_.clear();
    return outcome_ = Outcome::kCreated;
  }

  // After Finish: the files stored, or the file the failure concerns and what more it says.
  std::size_t Stored() const { return stored_; }

  const std::string& FailedName() const { return failed_name_; }

  const std::string& Detail() const { return detail_; }

 private:
  // What the part being read is.
  enum class Part {
    kNone,    // between parts
    kField,   // not a file: ignored
    kNoFile,  // a file part with an empty name, as browsers send for a file input left empty
    kFile,    // a file, on its way to temp_
  };

  // A whole file part waiting for the end of the body under its temporary name.
  struct Waiting {
    std::string name;  // its name in the folder
    std::string path;  // where it goes
    std::string temp;  // where it is ("" once it is in place)
  };

  explicit FormUpload(bool overwrite) : overwrite_(overwrite) {}

  void PartBegins(const web::MultipartPart& part) override {
    if (outcome_ != Outcome::kReady) return;
    if (!part.has_file_name) {
      part_ = Part::kField;
      return;
    }
    if (part.file_name.empty()) {
      part_ = Part::kNoFile;
      return;
    }
    name_ = web::SafeFileName(part.file_name);
    if (name_.empty() || name_.front() == '.') {
      Fail(Outcome::kBadName, part.file_name);
      return;
    }
    for (const Waiting& file : waiting_) {
      if (file.name == name_) {
        Fail(Outcome::kTwice, name_);
        return;
      }
    }
    path_ = InFolder(folder_, name_);
    if (const Outcome outcome = MayWrite(path_, overwrite_); outcome != Outcome::kReady) {
      Fail(outcome, name_);
      return;
    }
    fd_ = CreateTemporary(folder_, O_WRONLY, temp_);
    if (fd_ < 0) {
      Fail(FromErrno(errno), name_);
      return;
    }
    part_ = Part::kFile;
  }

  void PartData(std::string_view bytes) override {
    if (outcome_ != Outcome::kReady) return;
    if (part_ == Part::kNoFile && !bytes.empty()) {
      Fail(Outcome::kBadName, {});  // content without a name to store it under
      return;
    }
    if (part_ != Part::kFile) return;
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Fail(FromErrno(errno), name_);
        return;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void PartEnds() override {
    if (outcome_ != Outcome::kReady) return;
    if (part_ == Part::kFile) {
      // A file system may report a failed write only when the file is closed.
      const int closed = ::close(fd_);
      fd_ = -1;
      if (closed != 0) {
        Fail(FromErrno(errno), name_);
        return;
      }
      waiting_.push_back({std::move(name_), std::move(path_), std::move(temp_)});
      temp_.clear();
    }
    part_ = Part::kNone;
  }

  // The upload fails: nothing of it is kept, and the rest of the body is dropped.
  Outcome Fail(Outcome outcome, std::string_view name, std::string_view detail = {}) {
    outcome_ = outcome;
    failed_name_ = Shown(name);
    detail_ = std::string(detail);
    Discard();
    return outcome_;
  }

  // Removes every temporary file of the request.
  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    for (const Waiting& file : waiting_) {
      if (!file.temp.empty()) ::unlink(file.temp.c_str());
    }
    waiting_.clear();
  }

  bool overwrite_;
  std::string folder_;  // the real path of the folder posted to
  std::unique_ptr<web::MultipartReader> reader_;
  Outcome outcome_ = Outcome::kReady;
  bool done_ = false;  // the closing boundary has come
  Part part_ = Part::kNone;
  std::string name_;  // the file part being read: its name, target and temporary file
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  std::vector<Waiting> waiting_;
  std::size_t stored_ = 0;
  std::string failed_name_;
  std::string detail_;
};

// Answers a form posted to a folder; false when it is none of this action's.
bool StoreForm(const UploadSettings& settings, web::TWebRequest& request,
               web::TWebResponse& response) {
  auto* upload = dynamic_cast<FormUpload*>(request.BodyStream());
  std::unique_ptr<FormUpload> own;
  if (upload == nullptr) {
    // The body was held for an action before this one that let it go, or there is none.
    own = FormUpload::Begin(settings, request);
    if (!own) return false;
    upload = own.get();
    if (platform::TStream* held = request.BodyStream(); held != nullptr && held->Size() > 0) {
      upload->CopyFrom(*held, 0);
    }
  }
  const Outcome outcome = upload->Finish();
  response.SetContentType("text/plain; charset=utf-8");
  if (outcome == Outcome::kCreated) {
    // Back to the folder, where a browser finds the files in its listing.
    std::string folder = Encoded(request.PathInfo());
    if (folder.back() != '/') folder += '/';
    response.SetStatusCode(303);
    response.SetCustomHeader("Location", folder);
    response.SetContent(std::to_string(upload->Stored()) +
                        (upload->Stored() == 1 ? " file stored\n" : " files stored\n"));
    return true;
  }
  const Answer answer = AnswerFor(outcome);
  response.SetStatusCode(answer.status);
  std::string text = answer.text;
  if (!upload->Detail().empty()) text.insert(text.size() - 1, ": " + upload->Detail());
  if (outcome != Outcome::kMalformed && outcome != Outcome::kNoFile) {
    text = upload->FailedName() + ": " + text;
  }
  response.SetContent(text);
  return true;
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
  // A POST that is no form to a folder is left to the server, as it was without uploads: its
  // body is not taken, and the action declines it.
  web::TWebActionItem& form = dispatcher.Actions().Add(
      "UploadForm", "*", web::TMethodType::mtPost,
      [shared](platform::TComponent*, web::TWebRequest& request, web::TWebResponse& response,
               bool& handled) { handled = StoreForm(*shared, request, response); });
  form.OnBodyStart = [shared](web::TWebRequest& request,
                              bool& handled) -> std::unique_ptr<platform::TStream> {
    auto upload = FormUpload::Begin(*shared, request);
    handled = upload != nullptr;
    return upload;
  };
}

}  // namespace quorvin::apps
