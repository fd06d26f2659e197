#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "quorvin/server/http_connection.h"

namespace quorvin::testing {

// Listener settings without a socket: root and default document as a test gives them.
class FakeListener final : public server::ListenerConfig {
 public:
  explicit FakeListener(const std::string& root, std::string default_file = "index.htm") {
    SetRoot(root);
    DefaultFile = std::move(default_file);
  }
  bool Listening() const override { return false; }
  void StartListening() override {}
  void StopListening() override {}
  void SetListenPort(int) override {}
  int ListenPort() const override { return 0; }
};

// The protocol core over an imaginary socket: Deliver() hands it bytes as one read, and what it
// sends is collected in Sent().
class FakeConnection final : public server::HttpConnection {
 public:
  explicit FakeConnection(FakeListener& listener) : HttpConnection(listener) {}

  // One data-arrived event that reads exactly `bytes`.
  void Deliver(std::string_view bytes) {
    pending_.emplace_back(bytes);
    OnReads();
    if (awaiting_write_ && !closed_) OnWrites();
  }
  // The request complete: write readiness was asked for.
  bool AwaitingWrite() const { return awaiting_write_; }
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
  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override {
    char piece[4096];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) sent_.append(piece, static_cast<std::size_t>(n));
    closed_ = true;
  }
  void CloseNow() override { closed_ = true; }
  void AwaitWritable() override { awaiting_write_ = true; }
  std::string LocalHostName() const override { return "testhost"; }

 private:
  std::deque<std::string> pending_;
  std::string sent_;
  bool awaiting_write_ = false;
  bool closed_ = false;
};

}  // namespace quorvin::testing
