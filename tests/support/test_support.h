#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/platform/core/message_box.h"

namespace quorvin::testing {

// A folder of its own under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string Str() const { return path_.string(); }
  // Writes `content` to the file `relative` below the folder, making folders on the way.
  std::filesystem::path Write(std::string_view relative, std::string_view content) const;
  std::filesystem::path MakeDir(std::string_view relative) const;

 private:
  std::filesystem::path path_;
};

// Collects message boxes while it lives, instead of printing them.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  // (text, title) pairs in the order shown.
  const std::vector<std::pair<std::string, std::string>>& Shown() const { return shown_; }

 private:
  std::vector<std::pair<std::string, std::string>> shown_;
  platform::MessageSink previous_;
};

// The source tree's root (examples/site lives there).
std::string SourceDir();

}  // namespace quorvin::testing
