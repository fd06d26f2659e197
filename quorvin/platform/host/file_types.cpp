#include "quorvin/platform/host/file_types.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "quorvin/platform/core/text.h"

namespace quorvin::host {
namespace {

constexpr const char* kSystemMimeTypes = "/etc/mime.types";

// The types a web server is asked for most. They win over the system's file, whose entries for
// these vary between hosts and releases.
constexpr std::pair<const char*, const char*> kBuiltIn[] = {
    {".htm", "text/html"},
    {".html", "text/html"},
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".mjs", "text/javascript"},
    {".json", "application/json"},
    {".map", "application/json"},
    {".txt", "text/plain"},
    {".csv", "text/csv"},
    {".md", "text/markdown"},
    {".xml", "application/xml"},
    {".xhtml", "application/xhtml+xml"},
    {".rss", "application/rss+xml"},
    {".atom", "application/atom+xml"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".ico", "image/x-icon"},
    {".webp", "image/webp"},
    {".avif", "image/avif"},
    {".bmp", "image/bmp"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".gz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".wasm", "application/wasm"},
    {".mp4", "video/mp4"},
    {".webm", "video/webm"},
    {".mp3", "audio/mpeg"},
    {".ogg", "audio/ogg"},
    {".wav", "audio/wav"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".ttf", "font/ttf"},
    {".otf", "font/otf"},
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

FileTypeRegistry& FileTypeRegistry::Instance() {
  static FileTypeRegistry registry = [] {
    FileTypeRegistry r;
    r.AddBuiltInTypes();
    r.LoadMimeTypes(kSystemMimeTypes);
    return r;
  }();
  return registry;
}

const std::string& FileTypeRegistry::ContentType(std::string_view extension) const {
  static const std::string kNone;
  if (extension.size() < 2 || extension.front() != '.') return kNone;
  const auto has_upper = [](std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  };
  decltype(types_)::const_iterator it;
  char lower[16];
  if (!has_upper(extension)) {
    it = types_.find(extension);
  } else if (extension.size() <= sizeof lower) {
    std::transform(extension.begin(), extension.end(), lower, platform::AsciiLower);
    it = types_.find(std::string_view(lower, extension.size()));
  } else {
    it = types_.find(platform::LowerCase(extension));
  }
  return it == types_.end() ? kNone : it->second;
}

void FileTypeRegistry::Add(std::string_view extension, std::string content_type) {
  types_.insert_or_assign(platform::LowerCase(extension), std::move(content_type));
}

void FileTypeRegistry::AddIfMissing(std::string_view extension_without_dot,
                                    std::string_view content_type) {
  std::string key;
  key.reserve(extension_without_dot.size() + 1);
  key += '.';
  key += platform::LowerCase(extension_without_dot);
  types_.try_emplace(std::move(key), content_type);
}

bool FileTypeRegistry::LoadMimeTypes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  LoadMimeTypesText(text);
  return true;
}

void FileTypeRegistry::LoadMimeTypesText(std::string_view text) {
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    line = line.substr(0, line.find('#'));

    std::string_view type;
    while (!line.empty()) {
      std::size_t start = 0;
      while (start < line.size() && IsBlank(line[start])) ++start;
      std::size_t end = start;
      while (end < line.size() && !IsBlank(line[end])) ++end;
      const std::string_view word = line.substr(start, end - start);
      line.remove_prefix(end);
      if (word.empty()) break;
      if (type.empty()) {
        // A line is "type/subtype" first; anything else is not a type line.
        if (word.find('/') == std::string_view::npos) break;
        type = word;
      } else if (word.front() != '.') {
        AddIfMissing(word, type);
      }
    }
  }
}

void FileTypeRegistry::AddBuiltInTypes() {
  for (const auto& [extension, type] : kBuiltIn) types_.insert_or_assign(extension, type);
}

}  // namespace quorvin::host
