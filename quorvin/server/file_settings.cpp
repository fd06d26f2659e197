#include "quorvin/server/file_settings.h"

#include <cstdio>

namespace quorvin::server {

namespace {

constexpr const char* kControl = " holds a control character";

constexpr FileProperty kFileProperties[] = {
    {.name = "ETags",
     .flag = &FileProperties::ETags,
     .sets = &FileOptions::etags,
     .option = "--etag",
     .help = "an ETag on file answers; If-None-Match is taken before If-Modified-Since"},
    {.name = "CacheControl",
     .text = &FileProperties::CacheControl,
     .ok = FileProperties::HeaderTextOk,
     .refusal = kControl,
     .apply = [](FileOptions& o, const std::string& v) { o.cache_control = v; },
     .option = "--cache-control",
     .value_name = "VALUE",
     .help = "a Cache-Control header on file answers",
     .option_refusal = " takes text without control characters"},
    {.name = "MimeTypes",
     .text = &FileProperties::MimeTypes,
     .ok = [](std::string_view v) { return FileProperties::ParseMimeTypes(v).has_value(); },
     .refusal = " takes entries ext=type separated by commas, as \"wasm=application/wasm, "
                "map=application/json\"",
     .apply =
         [](FileOptions& o, const std::string& v) {
           const auto entries =
               FileProperties::ParseMimeTypes(v);  // checked by `ok`: it has a value
           for (const auto& [extension, type] : *entries) o.types.Add(extension, type);
         },
     .option = "--mime",
     .value_name = "EXT=TYPE",
     .help = "the type of files ending in .EXT, before the system's",
     .repeated = true,
     // One entry per option: a separator would smuggle in a second.
     .option_ok =
         [](std::string_view v) {
           return !v.empty() && v.find_first_of(", ;") == std::string_view::npos &&
                  FileProperties::ParseMimeTypes(v).has_value();
         },
     .option_refusal = " takes EXT=TYPE, as wasm=application/wasm"},
    {.name = "DefaultType",
     .text = &FileProperties::DefaultType,
     .ok = FileProperties::HeaderTextOk,
     .refusal = kControl,
     .apply = [](FileOptions& o, const std::string& v) { o.default_type = v; },
     .option = "--default-type",
     .value_name = "TYPE",
     .help = "the type of files whose extension has none",
     .option_refusal = " takes text without control characters"},
    {.name = "Precompressed",
     .flag = &FileProperties::Precompressed,
     .sets = &FileOptions::precompressed,
     .option = "--precompressed",
     .help = "FILE.br or FILE.gz in place of FILE, for clients that take them"},
    {.name = "ErrorPages",
     .text = &FileProperties::ErrorPages,
     .apply = [](FileOptions& o,
                 const std::string& v) { o.error_pages = host::ExpandFileName(v).value_or(v); },
     .option = "--error-pages",
     .value_name = "DIR",
     .help = "the program's error pages, as DIR/404.htm or DIR/404.html",
     // A form may name a folder made later; a command line names one that is there.
     .option_ok = [](std::string_view v) { return host::DirectoryExists(v); },
     .option_refusal = " takes a folder that exists"},
    {.name = "FallbackDocument",
     .text = &FileProperties::FallbackDocument,
     .ok = FileProperties::FallbackOk,
     .refusal = " names a file under the root, as index.html",
     .apply = [](FileOptions& o,
                 const std::string& v) { o.fallback = v.front() == '/' ? v : "/" + v; },
     .option = "--fallback",
     .value_name = "FILE",
     .help = "the file under the root that answers missing paths without an extension",
     .option_ok = [](std::string_view v) { return !v.empty() && FileProperties::FallbackOk(v); },
     .option_refusal = " takes a file under the root, as index.html"},
    {.name = "DirectoryListing",
     .flag = &FileProperties::DirectoryListing,
     .sets = &FileOptions::listing,
     .option = "--listing",
     .help = "folders without their default document list their entries"},
    // On with quorvin-serve --upload, which adds the action that takes what the form posts.
    {.name = "ListingUploadForm",
     .flag = &FileProperties::ListingUploadForm,
     .sets = &FileOptions::listing_upload_form,
     .option = nullptr,
     .help = "listings end with a form that posts files to the folder"},
};

}  // namespace

std::span<const FileProperty> FileProperties::Table() {
  return kFileProperties;
}

std::shared_ptr<const FileOptions> FileProperties::MakeOptions() const {
  if (*this == FileProperties{}) return nullptr;
  auto options = std::make_shared<FileOptions>();
  for (const FileProperty& p : Table()) {
    if (p.flag != nullptr) {
      if (this->*p.flag != 0) (*options).*p.sets = true;
      continue;
    }
    const std::string& value = this->*p.text;
    if (!value.empty() && (p.ok == nullptr || p.ok(value))) p.apply(*options, value);
  }
  return options;
}

std::string FileOptions::EntityTag(const host::FileInfo& file) {
  char text[48];
  const int length =
      std::snprintf(text, sizeof text, "\"%llx-%llx\"", static_cast<unsigned long long>(file.size),
                    static_cast<unsigned long long>(file.last_write_ns));
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::vector<std::pair<std::string, std::string>>> FileProperties::ParseMimeTypes(
    std::string_view text) {
  std::vector<std::pair<std::string, std::string>> entries;
  const auto separator = [](char c) { return c == ',' || c == ';' || c == ' ' || c == '\t'; };
  std::size_t at = 0;
  while (at < text.size()) {
    if (separator(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !separator(text[end])) ++end;
    const std::string_view entry = text.substr(at, end - at);
    at = end;
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view extension = entry.substr(0, equals);
    const std::string_view type = entry.substr(equals + 1);
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    // A type is "type/subtype", parameters aside; an extension is a name without dots or slashes.
    if (extension.empty() || extension.find_first_of("./\\") != std::string_view::npos)
      return std::nullopt;
    if (type.find('/') == std::string_view::npos || type.front() == '/' || !HeaderTextOk(type))
      return std::nullopt;
    if (!HeaderTextOk(extension)) return std::nullopt;
    entries.emplace_back("." + std::string(extension), std::string(type));
  }
  return entries;
}

bool FileProperties::FallbackOk(std::string_view path) {
  if (path.empty()) return true;
  if (!HeaderTextOk(path) || path.back() == '/') return false;
  // Every segment a plain name: nothing that climbs out of the root or names a private file.
  std::size_t at = 0;
  while (at <= path.size()) {
    const auto slash = path.find('/', at);
    const std::string_view segment =
        path.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
    if (!(at == 0 && segment.empty()) &&
        (segment.empty() || segment.front() == '.' || segment.find('\\') != std::string_view::npos))
      return false;
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return true;
}

bool FileProperties::HeaderTextOk(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace quorvin::server
