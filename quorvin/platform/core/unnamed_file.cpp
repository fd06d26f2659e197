#include "quorvin/platform/core/unnamed_file.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace quorvin::platform {

namespace {

class UnnamedFile final : public THandleStream {
 public:
  explicit UnnamedFile(int handle) : THandleStream(handle) { position_ = 0; }

  ~UnnamedFile() override { ::close(handle_); }

  UnnamedFile(const UnnamedFile&) = delete;
  UnnamedFile& operator=(const UnnamedFile&) = delete;
};

std::string FolderOrDefault(std::string_view folder) {
  if (!folder.empty()) return std::string(folder);
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

std::unique_ptr<THandleStream> OpenUnnamedFile(std::string_view folder) {
  const std::string where = FolderOrDefault(folder);
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a name for a moment.
    std::string name = where + "/.quorvin-spool-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) return nullptr;
  return std::make_unique<UnnamedFile>(fd);
}

}  // namespace quorvin::platform
