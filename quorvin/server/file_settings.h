#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/platform/host/file_system.h"
#include "quorvin/platform/host/file_types.h"

namespace quorvin::server {

// How files are answered beyond the defaults, made from the file properties below. Without
// options a file answer is what it always was.
struct FileOptions {
  bool etags = false;            // an ETag on file answers, and If-None-Match taken before IMS
  std::string cache_control;     // a Cache-Control header on file answers (empty: none)
  std::string default_type;      // the Content-type of a file whose extension has none
  host::FileTypeRegistry types;  // extensions whose type the program names, before the system's
  bool precompressed = false;    // file.br or file.gz in place of file, for clients that take them
  std::string error_pages;       // full path of a folder holding 404.htm and its like (empty: none)
  std::string fallback;          // URL path of the document for missing extension-less paths
  bool listing = false;          // folders without their default document list their entries
  bool listing_upload_form = false;  // ... and end with a form that posts files to the folder

  // The file's entity tag: its size and modification time (to the nanosecond where the file
  // system keeps it, so that two edits within a second differ), strong.
  static std::string EntityTag(const host::FileInfo& file);
};

struct FileProperty;

// The server module's file properties, as a program or a form sets them. Each is described once,
// in Table(): the module publishes them from it, the options are made from it, and quorvin-serve
// makes its command-line options and their help from it. A new file property is a field here
// and a row there.
struct FileProperties {
  // An ETag on each answer (with If-None-Match before If-Modified-Since), a Cache-Control
  // header (empty: none), types of the program's own ("wasm=application/wasm,
  // map=application/json", before the system's) and the type of files whose extension has none
  // (empty: no header).
  std::int32_t ETags = 0;
  std::string CacheControl;
  std::string MimeTypes;
  std::string DefaultType;
  // A compressed copy beside a file (file.br, file.gz) sent to clients that take it; a folder of
  // the program's own error pages (404.htm or 404.html, one per status); a document under the
  // root ("index.html") that answers GETs for missing paths without an extension (single-page
  // applications); folders without their default document listed.
  std::int32_t Precompressed = 0;
  std::string ErrorPages;
  std::string FallbackDocument;
  std::int32_t DirectoryListing = 0;
  // Listings end with a form that posts the files a user picks to the listed folder, as
  // multipart/form-data. The server only shows the form: a web action of the program takes
  // what it posts (quorvin-serve --upload adds one), or the POST is refused as any other.
  std::int32_t ListingUploadForm = 0;

  bool operator==(const FileProperties&) const = default;

  // The options these properties ask for; nullptr when every one has its default. A value a
  // program assigned in code skips the property's check: what fails it is left out (nothing
  // that could break a header gets into one).
  std::shared_ptr<const FileOptions> MakeOptions() const;

  // The entries of a MimeTypes text: "ext=type" (the extension with or without its dot),
  // separated by commas, semicolons or blanks; nullopt when an entry is malformed.
  static std::optional<std::vector<std::pair<std::string, std::string>>> ParseMimeTypes(
      std::string_view text);
  // Text that may stand as a header's value: no control characters.
  static bool HeaderTextOk(std::string_view text);
  // "" or a relative path of a file under the root: no "..", no dot-name, no control character.
  static bool FallbackOk(std::string_view path);

  // Every file property, in the order a form file holds them.
  static std::span<const FileProperty> Table();
};

// One file property: where it is kept, what it may hold, what it does to the answers, and the
// quorvin-serve option that sets it.
struct FileProperty {
  const char* name;  // as published and stored: "CacheControl"
  // A switch (0 or 1, every other number taken as 1) or a text: one of the two is set.
  std::int32_t FileProperties::*flag = nullptr;
  std::string FileProperties::*text = nullptr;
  // A switch turns this option on.
  bool FileOptions::*sets = nullptr;
  // A text: the values a form may store (nullptr: any), the refusal that follows the
  // property's name otherwise, and how a value that is not empty shapes the options.
  bool (*ok)(std::string_view value) = nullptr;
  const char* refusal = "";
  void (*apply)(FileOptions& options, const std::string& value) = nullptr;

  // The command-line option: its name, the name of its value (nullptr for a switch), and one
  // line of help. A repeated option adds an entry to the text each time (separated by commas).
  // nullptr for a property that has no option of its own: quorvin-serve sets it from another.
  const char* option;
  const char* value_name = nullptr;
  const char* help = "";
  bool repeated = false;
  // The command line's own check of a value when it asks more than a form does (nullptr: `ok`),
  // and its refusal, which follows the option's name.
  bool (*option_ok)(std::string_view value) = nullptr;
  const char* option_refusal = nullptr;
};

}  // namespace quorvin::server
