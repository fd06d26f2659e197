#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/host/file_system.h"

namespace quorvin::server {

// What a request that no web action took wants of its target.
enum class TargetUse {
  kSend,   // GET or HEAD: the file, or its heading
  kQuery,  // GET or HEAD of a target named with a query
  kPost,   // a body posted to the target
};

// What resolving a target found. Each outcome has one answer, chosen where the connection
// answers; those marked with a use arise only for it.
enum class TargetOutcome {
  kFile,                // kSend: a regular file, open in FileStream
  kBadPath,             // a NUL byte, or a path that leaves the root
  kNotFound,            // nothing there, nor a file above it
  kFolderWithoutSlash,  // a folder named without its "/": Location names it with one
  kFolder,              // kSend: a folder without its default document
  kHidden,              // kSend: a name beginning with "." between the root and the target
  kNotAFile,            // kSend: a FIFO, socket or device
  kUnavailable,         // kSend: the file would not open
  kFileWithQuery,       // kQuery: a file
  kFolderWithQuery,     // kQuery: a folder
  kPostTarget,          // kPost: a file or a folder, neither of which takes a body
};

// The request as target resolution reads it.
struct TargetRequest {
  std::string_view URL;      // the path, decoded
  std::string_view RawPath;  // the path as sent: a folder's redirect repeats it
  std::string_view Query;
  bool HasQuery = false;
  TargetUse Use = TargetUse::kSend;
};

struct TargetResolution {
  TargetOutcome Outcome = TargetOutcome::kNotFound;
  // The local path found: a file, a folder, or the folder's default document.
  std::string TargetPath;
  std::uint32_t FileAttributes = host::kFaInvalid;  // of TargetPath
  std::string ExtraPath;       // what the URL goes on with below the file found
  std::string TranslatedPath;  // ExtraPath under the root; empty when it would leave the root
  std::string Location;        // kFolderWithoutSlash: where the folder is
  std::unique_ptr<platform::TFileStream> FileStream;  // kFile: the file, open for reading
  host::FileInfo Info;                                // kFile: what the open file is
};

// Finds what a request's URL names under the document root. No name outside the root, and no
// name beginning with "." below it, is ever opened to be sent.
class TargetResolver {
 public:
  // `root` is a full path without a trailing separator ("" for the file system's root);
  // `default_document` is the file that stands for a folder named with its "/".
  TargetResolver(std::string_view root, std::string_view default_document)
      : root_(root), default_document_(default_document) {}

  TargetResolution FindTarget(const TargetRequest& request) const;
  // Turns a URL path into the full local path below the root; false when the result is not
  // the root or below it.
  bool URLtoPath(std::string& path) const;
  // `path` opened for sending, without blocking, when it is a regular file; nullptr otherwise.
  static std::unique_ptr<platform::TFileStream> OpenRegular(const std::string& path, host::FileInfo& info);
  // Moves the last "/name" of `path` to `last`.
  static void StripLast(std::string& path, std::string& last);

 private:
  TargetOutcome Locate(const TargetRequest& request, TargetResolution& target) const;
  bool CheckDefault(TargetResolution& target) const;
  std::uint32_t AttributesOf(const std::string& path) const;
  std::uint32_t OpenTarget(const std::string& path, const TargetRequest& request,
                           TargetResolution& target) const;
  TargetOutcome OpenFile(TargetResolution& target) const;

  std::string_view root_;
  std::string_view default_document_;
};

}  // namespace quorvin::server
