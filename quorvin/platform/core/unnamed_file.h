#pragma once

#include <memory>
#include <string_view>

#include "quorvin/platform/core/stream.h"

namespace quorvin::platform {

// A read-write file without a name in `folder` ("" for $TMPDIR, else /tmp), for bytes too many
// to keep in memory: a request body, a file sent in a form. It has no name from the start (or
// loses it at once where the file system cannot make one without), so nothing of it stays on
// disk once the stream is closed, however the request or the program ends. Null with errno set
// when the folder refuses.
std::unique_ptr<THandleStream> OpenUnnamedFile(std::string_view folder);

}  // namespace quorvin::platform
