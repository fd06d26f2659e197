#include "quorvin/server/body_spool.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace quorvin::server {

namespace {

class BodySpool final : public platform::THandleStream {
 public:
  explicit BodySpool(int handle) : THandleStream(handle) { position_ = 0; }
  ~BodySpool() override { ::close(handle_); }
  BodySpool(const BodySpool&) = delete;
  BodySpool& operator=(const BodySpool&) = delete;
};

std::string FolderOrDefault(std::string_view folder) {
  if (!folder.empty()) return std::string(folder);
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

std::unique_ptr<platform::THandleStream> OpenBodySpool(std::string_view folder) {
  const std::string where = FolderOrDefault(folder);
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a name for a moment.
    std::string name = where + "/.quorvin-body-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) return nullptr;
  return std::make_unique<BodySpool>(fd);
}

}  // namespace quorvin::server
