#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

// The host's registry of file types: the content type that a file extension stands for.
namespace quorvin::host {

class FileTypeRegistry {
 public:
  // The program's registry, filled on first use from the system's mime.types (when there is
  // one) and the built-in table of common web types, which wins for the extensions it knows.
  static FileTypeRegistry& Instance();

  // An empty registry; Add and Load fill it.
  FileTypeRegistry() = default;

  // The content type of `extension`, given with its dot (".htm"), letter case ignored; the
  // empty text when none is registered, also for "" and for an extension without its dot.
  // Cheap: one hash lookup, with no allocation unless the extension has upper-case letters and
  // is longer than 16 bytes.
  const std::string& ContentType(std::string_view extension) const;

  // Registers `content_type` for `extension` (with its dot, any letter case), replacing what was
  // there. For tests and for programs with types of their own.
  void Add(std::string_view extension, std::string content_type);

  // Reads a file in the mime.types format: "type/subtype ext ext ..." per line, "#" starts a
  // comment. An extension already registered keeps its type (the first line that names it wins,
  // and the built-in table goes in first). Returns false when the file can't be read.
  bool LoadMimeTypes(const std::string& path);
  void LoadMimeTypesText(std::string_view text);
  // Registers the built-in table of common web types, over whatever was there.
  void AddBuiltInTypes();

  std::size_t Count() const { return types_.size(); }

 private:
  // Hashes and compares std::string and std::string_view alike, so a lookup needs no copy.
  struct Hash {
    using is_transparent = void;

    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  void AddIfMissing(std::string_view extension_without_dot, std::string_view content_type);

  std::unordered_map<std::string, std::string, Hash, std::equal_to<>> types_;  // key: ".ext"
};

}  // namespace quorvin::host
