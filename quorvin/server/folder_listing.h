#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/host/file_system.h"

namespace quorvin::server {

// The HTML page that lists a folder's entries for the URL path `url_path` (decoded, ending in
// "/"): folders first, then files, each sorted by name, with sizes and dates. Names beginning
// with "." and entries that lead nowhere are left out; names are HTML-escaped for the page and
// percent-encoded for the links, so that blanks, "#", "?" and non-ASCII names open. With
// `upload_form` the list ends with a form that posts the files a user picks, as
// multipart/form-data, to the folder's own URL; without it the page is as it always was.
std::string FolderListing(std::string_view url_path, std::vector<host::FolderEntry> entries,
                          bool upload_form = false);

}  // namespace quorvin::server
