// The server's request reader and request handling, fed arbitrary bytes cut into arbitrary reads,
// over a document root with secrets inside and outside it.
//
// Input: a flags byte, a count byte c (0-15), c piece lengths (1-256 each), then the bytes the
// peer sends. Flags: bit 0 puts a web dispatcher on the form; bits 1-2 pick the default
// document; bit 3 lets the peer close after its last byte.
//
// After every input: no secret (the canary outside the root, a dot-file's content) is in the
// answer; a request body is never sent back as the answer unless a web action wrote it; a
// complete request is answered and the connection closed; the connection's buffers stay within
// the reader's limits; and the sanitizers see no fault.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/http_connection.h"
#include "../server/fake_connection.h"
#include "quorvin/server/tarn_server.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using server::HttpConnection;

constexpr std::string_view kActionAnswer = "ACTION-ANSWER";

// A form with a web dispatcher and a server module that never listens: what a connection of a
// real server sees when it dispatches. The actions answer fixed texts, fail, or misbehave.
class DispatchForm {
 public:
  static DispatchForm& Instance() {
    static DispatchForm form;
    return form;
  }

  server::ServerModule& Module() { return *module_; }

 private:
  DispatchForm() : form_(std::make_unique<platform::TForm>(nullptr)) {
    auto& web = platform::Create<web::TWebDispatcher>(*form_);
    auto& actions = web.Actions();
    actions.Add("Act", "/act", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse& r, bool&) {
                  r.SetContent(kActionAnswer);
                });
    actions.Add("Boom", "/boom", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse&, bool&) {
                  throw std::runtime_error("the action failed");
                });
    actions.Add("Split", "/split", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse& r, bool&) {
                  r.SetCustomHeader("X-Split", "a\r\nb");
                  r.SetContent(kActionAnswer);
                });
    actions.Add("Pass", "/pass", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse&, bool& handled) {
                  handled = false;
                });
    // Sends, then calls the request unhandled: the answer it sent must still go out whole.
    actions.Add("Early", "/early*", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse& r, bool& handled) {
                  r.SetContent(kActionAnswer);
                  r.SendResponse();
                  handled = false;
                });
    module_ = &platform::Create<server::TSvrModule>(*form_);
    module_->Dispatcher = &web;
  }

  std::unique_ptr<platform::TComponent> form_;
  server::TSvrModule* module_ = nullptr;
};

// The protocol core over scripted reads, as the socket bindings drive it.
class FuzzConnection final : public HttpConnection {
 public:
  explicit FuzzConnection(server::ListenerConfig& listener) : HttpConnection(listener) {}

  // One data-arrived event per piece; a piece longer than one read leaves the rest for the read
  // events that follow, as a level-triggered layer would raise them.
  void Deliver(std::string_view bytes) {
    pending_.emplace_back(bytes);
    while (!pending_.empty() && !closed_ && !awaiting_write_) {
      OnReads();
      CheckBounds();
    }
  }

  void PeerCloses() {
    if (closed_ || awaiting_write_) return;
    peer_closed_ = true;
    OnReads();  // the read that finds the end; the layer then ends the connection
    CheckBounds();
  }

  void WriteReady() {
    request_body_ = Body.get();
    OnWrites();
  }

  bool AwaitingWrite() const { return awaiting_write_; }

  bool Closed() const { return closed_; }

  const std::string& Sent() const { return sent_; }

  bool SentRequestBody() const { return sent_request_body_; }

  bool SentFile() const { return sent_file_; }

  std::string_view StreamedBytes() const { return std::string_view(sent_).substr(heading_size_); }

 protected:
  int ReadSome(char* into, int max) override {
    if (pending_.empty()) return peer_closed_ ? 0 : -1;
    std::string bytes = std::move(pending_.front());
    pending_.pop_front();
    const int n = std::min<int>(max, static_cast<int>(bytes.size()));
    bytes.copy(into, static_cast<std::size_t>(n));
    if (n < static_cast<int>(bytes.size()))
      pending_.push_front(bytes.substr(static_cast<std::size_t>(n)));
    return n;
  }

  void WriteAll(std::string_view bytes) override {
    Check(!closed_, "bytes written after the connection was closed");
    sent_ += bytes;
  }

  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override {
    Check(!closed_, "a stream written after the connection was closed");
    sent_request_body_ = sent_request_body_ || (stream.get() == request_body_ && !BodyIsAnswer);
    sent_file_ = dynamic_cast<platform::TFileStream*>(stream.get()) != nullptr;
    heading_size_ = sent_.size();
    char piece[4096];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) {
      sent_.append(piece, static_cast<std::size_t>(n));
    }
    closed_ = true;
  }

  void CloseNow() override { closed_ = true; }

  void AwaitWritable() override { awaiting_write_ = true; }

  std::string LocalHostName() const override { return "fuzzhost"; }

 private:
  // What one connection may hold while it reads, whatever the peer sends.
  void CheckBounds() const {
    Check(LineBuffer.size() <= static_cast<std::size_t>(server::kMaxLine),
          "a line beyond the line limit");
    Check(Headers.Count() <= server::kMaxHeaderLines, "more header lines than the limit");
    Check(!Body || Body->Size() <= server::kMaxBody, "a body beyond the body limit");
    Check(Buffer.size() <= 64 * 1024, "the connection's buffer grew beyond 64 KiB");
  }

  std::deque<std::string> pending_;
  std::string sent_;
  std::size_t heading_size_ = 0;
  const platform::TMemoryStream* request_body_ = nullptr;
  bool awaiting_write_ = false;
  bool closed_ = false;
  bool peer_closed_ = false;
  bool sent_request_body_ = false;
  bool sent_file_ = false;
};

const char* DefaultFile(int choice) {
  static const char* const kNames[] = {"index.htm", "page.htm", "missing.htm", "docs"};
  return kNames[choice & 3];
}

}  // namespace

int ServerRequestOne(const std::uint8_t* data, std::size_t size) {
  const FuzzSite& site = FuzzSite::Instance();
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const int cuts = in.Byte() % 16;
  std::size_t lengths[16];
  for (int i = 0; i < cuts; ++i) lengths[i] = std::size_t{in.Byte()} + 1;
  const std::string_view request = in.Rest();

  quorvin::testing::FakeListener listener(site.root, DefaultFile(flags >> 1));
  if ((flags & 1) != 0) listener.Module = &DispatchForm::Instance().Module();
  {
    FuzzConnection c(listener);
    std::string_view rest = request;
    for (int i = 0; i < cuts && !rest.empty(); ++i) {
      const std::size_t n = std::min(lengths[i], rest.size());
      c.Deliver(rest.substr(0, n));
      rest.remove_prefix(n);
    }
    if (!rest.empty()) c.Deliver(rest);
    if ((flags & 8) != 0) c.PeerCloses();

    if (c.AwaitingWrite() && !c.Closed()) {
      c.WriteReady();
      // A complete request is answered and ends the connection: nothing waits for a timer.
      Check(c.Closed(), "a complete request was left open without an answer", request);
      // The server's own answers are HTTP/1.0; a web action's answer repeats the request's
      // version, or has no status line for a request without one.
      Check(c.BodyIsAnswer || c.Sent().rfind("HTTP/1.0 ", 0) == 0,
            "an answer without an HTTP/1.0 status line", c.Sent());
    }
    const std::string& answer = c.Sent();
    // A secret in the answer that the request did not carry itself came from a file.
    if (!site.Leaks(request) && site.Leaks(answer)) Finding("a secret left the server", answer);
    Check(!c.SentRequestBody(), "the request body was sent back as the answer", answer);
    if (c.SentFile()) {
      // A file answer is one of the site's public files, or a part of one (a byte range).
      const std::string_view got = c.StreamedBytes();
      bool known = got.empty();
      for (const std::string* text :
           {&site.index_text, &site.page_text, &site.docs_text, &site.ok_text}) {
        known = known || Holds(*text, got);
      }
      Check(known, "a file answer that is none of the site's public files", answer);
    }
  }
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::ServerRequestOne(data, size);
}
#endif
