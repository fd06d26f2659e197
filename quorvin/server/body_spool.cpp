#include "quorvin/server/body_spool.h"

namespace quorvin::server {

std::unique_ptr<platform::THandleStream> OpenBodySpool(std::string_view folder) {
  return platform::OpenUnnamedFile(folder);
}

}  // namespace quorvin::server
