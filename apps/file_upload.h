#pragma once

#include <string>

#include "quorvin/platform/web/web_dispatcher.h"

// Uploads into the folder quorvin-serve serves, when it is asked to take them (--upload):
// PUT /path/name stores the request's body as the file `name` in the folder /path below the
// root. The body is written to a temporary file in that folder as it arrives (its name begins
// with ".", so it is never served nor listed) and renamed into place once it has arrived whole;
// an upload that fails or is cut off leaves nothing behind.
//
// Answers: 201 Created (with a Location) for a new file; 204 No Content for a file replaced
// (only when overwriting is allowed); 403 for a name that may not be written (a "." or ".."
// segment, a name beginning with ".", a folder whose links lead out of the root) or a folder
// the server may not write to; 409 Conflict when the folder does not exist, when the target
// is a folder (a path ending in "/", or a folder of that name), or when a file of that name
// exists and overwriting is not allowed; 507 when the disk is full. A body larger than the
// server module's MaxBody is refused by the server itself (413).
namespace quorvin::apps {

struct UploadSettings {
  std::string root;        // the served folder: a full path without a trailing "/"
  bool overwrite = false;  // a PUT may replace an existing file
};

// Adds the action "Upload" (PUT, any path) at the end of `dispatcher`'s actions: an action
// before it that takes a PUT of some path keeps it.
void AddUploadAction(web::TCustomWebDispatcher& dispatcher, UploadSettings settings);

}  // namespace quorvin::apps
