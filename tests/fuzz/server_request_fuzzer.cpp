// The server's request reader alone, and the whole protocol core (request handling, web
// actions, answers), fed arbitrary bytes cut into arbitrary reads, over a document root with
// secrets inside and outside it.
//
// Input: a flags byte, a count byte c (0-15), c piece lengths (1-256 each), then the bytes the
// peer sends. Flags: bit 0 puts a web dispatcher on the form; bits 1-2 pick the default
// document; bit 3 lets the peer close after its last byte.
//
// After every input: the reader reads the same request whether the bytes come in the pieces or
// all at once, takes every byte it is given until the request is over, and stays within its
// limits; no secret (the canary outside the root, a dot-file's content) is in the answer; a
// request body is never sent back as the answer unless a web action wrote one; a complete
// request is answered and the connection closed; and the sanitizers see no fault.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/http_connection.h"
#include "quorvin/server/request_reader.h"
#include "quorvin/server/tarn_server.h"

#include "../server/fake_connection.h"
#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using server::HttpConnection;

// What the web actions answer: a token new for every process, so that no request carries it by
// chance, and an answer that holds it was composed by an action.
const std::string& ActionAnswer() {
  static const std::string token = [] {
    std::random_device rd;
    return "QVACTION" + std::to_string(rd()) + std::to_string(rd());
  }();
  return token;
}

// A form with a web dispatcher and a server module that never listens: what a connection of a
// real server sees when it dispatches. The actions answer the token, fail, or misbehave.
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
                  r.SetContent(ActionAnswer());
                });
    actions.Add("Boom", "/boom", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse&, bool&) {
                  throw std::runtime_error("the action failed");
                });
    actions.Add("Split", "/split", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse& r, bool&) {
                  r.SetCustomHeader("X-Split", "a\r\nb");
                  r.SetContent(ActionAnswer());
                });
    actions.Add("Pass", "/pass", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse&, bool& handled) {
                  handled = false;
                });
    // Sends, then calls the request unhandled: the answer it sent must still go out whole.
    actions.Add("Early", "/early*", web::TMethodType::mtAny,
                [](platform::TComponent*, web::TWebRequest&, web::TWebResponse& r, bool& handled) {
                  r.SetContent(ActionAnswer());
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
    while (!pending_.empty() && !closed_ && !awaiting_write_) OnReads();
  }

  void PeerCloses() {
    if (closed_ || awaiting_write_) return;
    peer_closed_ = true;
    OnReads();  // the read that finds the end; the layer then ends the connection
  }

  void WriteReady() {
    request_body_ = &RequestBody();
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
    // What the server writes itself is a heading or a page, never near this large.
    Check(bytes.size() <= 64 * 1024, "an answer's heading beyond 64 KiB", bytes.substr(0, 200));
    sent_ += bytes;
  }

  // The fuzzer's server keeps no connection open: the first answer is the last.
  void WriteStream(std::unique_ptr<platform::TStream> stream) override {
    WriteStreamThenClose(std::move(stream));
  }

  void AwaitReadable() override {}

  void LimitSend(std::chrono::seconds) override {}

  void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) override {
    Check(!closed_, "a stream written after the connection was closed");
    sent_file_ = dynamic_cast<platform::TFileStream*>(stream.get()) != nullptr;
    heading_size_ = sent_.size();
    char piece[4096];
    for (std::int64_t n; (n = stream->Read(piece, sizeof piece)) > 0;) {
      sent_.append(piece, static_cast<std::size_t>(n));
    }
    // The body object holds the request body until an action's answer is written over it.
    sent_request_body_ = sent_request_body_ ||
                         (stream.get() == request_body_ && !Holds(StreamedBytes(), ActionAnswer()));
    closed_ = true;
  }

  void CloseNow() override { closed_ = true; }

  void AwaitWritable() override { awaiting_write_ = true; }

  std::string LocalHostName() const override { return "fuzzhost"; }

 private:
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

// The reader alone, fed the pieces: it takes every byte until the request is over, stays within
// its limits, and reads what it reads from all the bytes at once.
void ReadAlone(std::string_view request, const std::size_t* lengths, int cuts) {
  using server::ReadResult;
  server::RequestReader whole;
  std::size_t whole_used = 0;
  const ReadResult whole_result = whole.Feed(request, whole_used);

  server::RequestReader pieces;
  ReadResult result = ReadResult::kNeedMore;
  std::size_t used_total = 0;
  const auto feed = [&](std::string_view piece) {
    if (result != ReadResult::kNeedMore) return;
    std::size_t used = 0;
    result = pieces.Feed(piece, used);
    Check(used <= piece.size(), "the reader used more bytes than it was given");
    if (result == ReadResult::kNeedMore) {
      Check(used == piece.size(), "the reader asked for more without taking every byte");
    }
    used_total += used;
    Check(pieces.Headers().Count() <= server::kMaxHeaderLines, "more header lines than the limit");
    const auto body = static_cast<std::int64_t>(pieces.Body().View().size());
    Check(body <= server::kMaxBody && body <= std::max(0, pieces.ContentLength()),
          "a body beyond its limit or its announced length");
  };
  std::string_view rest = request;
  for (int i = 0; i < cuts && !rest.empty(); ++i) {
    const std::size_t n = std::min(lengths[i], rest.size());
    feed(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  feed(rest);

  // Where the reads split must change nothing.
  const auto same = [request](bool ok, std::string_view what) {
    if (!ok)
      Finding(std::string("cut into pieces, the request reads with another ") + std::string(what),
              request);
  };
  same(result == whole_result, "result");
  same(pieces.RefusalStatus() == whole.RefusalStatus(), "refusal");
  same(result == ReadResult::kRefused || used_total == whole_used, "length");
  same(pieces.ReqState() == whole.ReqState(), "state");
  same(pieces.Method() == whole.Method() && pieces.Version() == whole.Version(), "request line");
  same(pieces.URL() == whole.URL() && pieces.RawPath() == whole.RawPath(), "path");
  same(pieces.Query() == whole.Query() && pieces.HasQuery() == whole.HasQuery(), "query");
  same(pieces.Headers().Text() == whole.Headers().Text(), "header list");
  same(pieces.ContentLength() == whole.ContentLength(), "Content-Length");
  same(pieces.Body().View() == whole.Body().View(), "body");
}

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

  ReadAlone(request, lengths, cuts);

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
      Check(Holds(c.Sent(), ActionAnswer()) || c.Sent().rfind("HTTP/1.0 ", 0) == 0,
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
