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
//
// A form posted to a folder (POST /path/ with a multipart/form-data body, as the form of a
// listing with ListingUploadForm sends it) stores each of its file parts in that folder under
// the part's file name made safe (web::SafeFileName: the last segment of the name sent, without
// control characters); field parts are ignored. Each file goes to a temporary file as it
// arrives, as a PUT's body does, and all of them are renamed into place together once the
// body has ended: a form is stored whole or not at all, and one that fails or is cut off leaves
// nothing. Answers: 303 See Other back to the folder when every file is stored; otherwise a
// short text naming the file and why: 403 for a name that may not be written (empty, or
// beginning with "."), 409 for a file that exists (unless overwriting is allowed), a folder of
// that name, or two files of one name, 400 for a body that is not a whole multipart/form-data
// body or holds no file (a file input left empty sends a part without a name, which is
// ignored). A POST of another content type, or to a path that is not a folder below the root,
// is left to the server and the other actions.
namespace quorvin::apps {

struct UploadSettings {
  std::string root;        // the served folder: a full path without a trailing "/"
  bool overwrite = false;  // a PUT may replace an existing file
};

// Adds the actions "Upload" (PUT, any path) and "UploadForm" (POST, any path) at the end of
// `dispatcher`'s actions: an action before them that takes a PUT or POST of some path keeps it.
void AddUploadAction(web::TCustomWebDispatcher& dispatcher, UploadSettings settings);

}  // namespace quorvin::apps
