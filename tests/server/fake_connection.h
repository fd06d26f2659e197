#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/host/file_system.h"
#include "quorvin/server/http_connection.h"

namespace quorvin::testing {

// A connection's context without a listener: root and default document as a test gives them,
// and what else connections take set directly.
class FakeListener final : public server::ConnectionContext {
 public:
  explicit FakeListener(const std::string& root, std::string default_file = "index.htm")
      : root_path_(host::ExpandFileName(root).value_or(root)),
        default_file_(std::move(default_file)) {
    while (!root_path_.empty() && root_path_.back() == host::kPathDelim) root_path_.pop_back();
  }
  server::ConnectionLimits limits;
  std::shared_ptr<const server::FileOptions> files;  // nullptr: the defaults
  web::TCustomWebDispatcher* dispatcher = nullptr;
  int idle = 0;     // connections waiting for their next request
  int counted = 0;  // connections counted in and not out

  server::ConnectionLimits Limits() const override { return limits; }
  std::shared_ptr<const server::FileOptions> Files() const override { return files; }
  const std::string& DefaultFile() const override { return default_file_; }
  const std::string& RootPath() const override { return root_path_; }
  web::TCustomWebDispatcher* Dispatcher() const override { return dispatcher; }
  void AddIdle(IdleConnection&) override { ++idle; }
  void RemoveIdle(IdleConnection&) override { --idle; }
  void CountConnection(int change) override { counted += change; }
  std::int32_t LifetimeSeconds() const override { return 0; }

 private:
  std::string root_path_;
  std::string default_file_;
};

// The protocol core over an imaginary socket that takes every byte at once: Deliver() hands it
// bytes as one read, and what it sends is collected in Sent(). The events the connection asks
// for (write readiness, data-arrived again on a kept connection) follow at once.
class FakeConnection final : public server::HttpConnection {
 public:
  explicit FakeConnection(FakeListener& listener) : HttpConnection(listener) {}

  // One data-arrived event that reads exactly `bytes`, then the events it leads to.
  void Deliver(std::string_view bytes) {
    pending_.emplace_back(bytes);
    OnReads();
    Pump();
  }
  // The request complete: write readiness was asked for.
  bool AwaitingWrite() const { return asked_write_; }
  bool Closed() const { return closed_; }

  const std::string& Sent() const { return sent_; }

 protected:
  int ReadSome(char* into, int max) override {
    if (pending_.empty()) return -1;
    std::string bytes = std::move(pending_.front());
    pending_.pop_front();
    const int n = std::min<int>(max, static_cast<int>(bytes.size()));
    bytes.copy(into, static_cast<std::size_t>(n));
    if (n < static_cast<int>(bytes.size())) pending_.push_front(bytes.substr(static_cast<std::size_t>(n)));
    return n;
  }
  void WriteAll(std::string_view bytes) override { sent_ += bytes; }
  void WriteStream(std::unique_ptr<platform::TStream> stream) override {
    char piece[4096];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) sent_.append(piece, static_cast<std::size_t>(n));
  }
  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override {
    WriteStream(std::move(stream));
    closed_ = true;
  }
  void CloseNow() override { closed_ = true; }
  void AwaitWritable() override { asked_write_ = write_due_ = true; }
  void AwaitReadable() override { read_due_ = true; }
  void LimitSend(std::chrono::seconds) override {}
  std::string LocalHostName() const override { return "testhost"; }
  std::size_t QueuedBytes() const override { return 0; }

 private:
  void Pump() {
    for (int turn = 0; turn < 10000 && !closed_; ++turn) {
      if (write_due_) {
        write_due_ = false;
        OnWrites();
      } else if (read_due_) {
        read_due_ = false;
        OnReads();
      } else {
        return;
      }
    }
  }

  std::deque<std::string> pending_;
  std::string sent_;
  bool asked_write_ = false;
  bool write_due_ = false;
  bool read_due_ = false;
  bool closed_ = false;
};

}  // namespace quorvin::testing
