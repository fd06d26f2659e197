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

// A TCP socket listening on `ip` (127.0.0.1 unless said) at `port` (0: the system's pick) with
// room for `backlog` waiting connections; closed with the object. Nothing accepts on it unless a
// test does (a connect completes in the backlog all the same).
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 16, const char* ip = "127.0.0.1", int port = 0);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool Ok() const { return ok_; }
  int Fd() const { return fd_; }
  int Port() const { return port_; }
  // Fills the backlog of a listener made with backlog 0: a connect to it then gets no answer at
  // all (the kernel drops the SYNs of a full queue), as a host that is down would give none.
  void Stall();

 private:
  int fd_ = -1;
  int port_ = 0;
  bool ok_ = false;
  std::vector<int> fillers_;
};

// A blocking connection to 127.0.0.1:`port`: its descriptor, or -1 when refused.
int ConnectToLoopback(int port);
// Connects to 127.0.0.1:`port` and closes at once (for a thread waiting in accept).
void ConnectOnce(int port);

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
