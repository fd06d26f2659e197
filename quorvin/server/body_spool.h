#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/stream.h"

namespace quorvin::server {

// A file without a name for a request body too large to keep in memory, in `folder` ("" for
// $TMPDIR, else /tmp). It has no name from the start (or loses it at once where the file
// system cannot make one without), so nothing of it stays on disk once it is closed, however
// the request or the program ends. Null with errno set when the folder refuses.
std::unique_ptr<platform::THandleStream> OpenBodySpool(std::string_view folder);

}  // namespace quorvin::server
