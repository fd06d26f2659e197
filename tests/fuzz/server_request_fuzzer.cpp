// The server's request reader alone, and the whole protocol core (request handling, web
// actions, answers), fed arbitrary bytes cut into arbitrary reads, over a document root with
// secrets inside and outside it.
//
// Input: a flags byte, a count byte c (0-15), c piece lengths (1-256 each), then the bytes the
// peer sends. Flags: bit 0 puts a web dispatcher on the form; bits 1-2 pick the default
// document; bit 3 lets the peer close after its last byte; bit 4 has the reader alone read
// HTTP/1.1 bodies and, as a kept connection would, request after request from the bytes.
//
// After every input: the reader reads the same requests whether the bytes come in the pieces or
// all at once, each ending at the same byte; takes every byte it is given until the request is
// over; stays within its limits; holds a whole body as long as the length it reports; and
// reads no request framed both by a length and by chunks; no secret (the canary outside the root, a
// dot-file's content) is in the answer; a request body is never sent back as the answer unless a
// web action wrote one; a complete request is answered and the connection closed; and the
// sanitizers see no fault.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/text.h"
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
  explicit FuzzConnection(server::ConnectionContext& context) : HttpConnection(context) {}

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
  std::size_t QueuedBytes() const override { return 0; }

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

// What the reader made of one request, and the byte of the input where it ended.
struct Reading {
  server::ReadResult result;
  int refusal;
  std::size_t end;  // 0 for a refused request: nothing after a refusal is read
  server::ZReqtype state;
  bool head_complete;
  bool expects_continue;
  std::string method, version, url, raw_path, query;
  bool has_query;
  std::string headers;
  std::int32_t content_length;
  std::string body;
};

Reading Take(server::RequestReader& r, server::ReadResult result, std::size_t end) {
  return {result,
          r.RefusalStatus(),
          result == server::ReadResult::kRefused ? 0 : end,
          r.ReqState(),
          r.HeadComplete(),
          r.ExpectsContinue(),
          r.Method(),
          r.Version(),
          r.URL(),
          r.RawPath(),
          r.Query(),
          r.HasQuery(),
          r.Headers().Text(),
          r.ContentLength(),
          std::string(r.Body().View())};
}

// The reader fed piece after piece. With HTTP/1.1 bodies it goes on as a kept connection does:
// the bytes after a complete request are the next one's, read after Reset.
class Reads {
 public:
  explicit Reads(server::ReaderOptions options) : reader_(options), keep_(options.http11_bodies) {}

  void Feed(std::string_view piece) {
    using server::ReadResult;
    while (!over_) {
      std::size_t used = 0;
      result_ = reader_.Feed(piece, used);
      Check(used <= piece.size(), "the reader used more bytes than it was given");
      if (result_ == ReadResult::kNeedMore) {
        Check(used == piece.size(), "the reader asked for more without taking every byte");
      }
      offset_ += used;
      CheckLimits();
      if (result_ == ReadResult::kNeedMore) return;
      readings_.push_back(Take(reader_, result_, offset_));
      piece.remove_prefix(used);
      if (!keep_ || result_ == ReadResult::kRefused) {
        over_ = true;
        return;
      }
      // A fresh reader needs at least a line end to finish a request: this one took none.
      Check(offset_ > start_, "a request of no bytes");
      start_ = offset_;
      reader_.Reset();
      result_ = ReadResult::kNeedMore;
      if (piece.empty()) return;
    }
  }

  // The readings of the requests that ended, then of the one still being read.
  std::vector<Reading> Finish() {
    if (!over_) readings_.push_back(Take(reader_, result_, offset_));
    return std::move(readings_);
  }

 private:
  void CheckLimits() {
    Check(reader_.Headers().Count() <= server::kMaxHeaderLines, "more header lines than the limit");
    const auto body = static_cast<std::int64_t>(reader_.Body().View().size());
    Check(body <= server::kMaxBody && body <= std::max(0, reader_.ContentLength()),
          "a body beyond its limit or its reported length");
    if (result_ != server::ReadResult::kDone) return;
    Check(body == reader_.ContentLength(), "a complete body shorter than its reported length");
    if (!keep_) return;
    // A request that a length and chunks both frame ends in two places: one may hide another.
    int encodings = 0;
    bool length = false;
    for (int i = 0; i < reader_.Headers().Count(); ++i) {
      encodings += platform::SameText(reader_.Headers().Names(i), "transfer-encoding") ? 1 : 0;
      length = length || platform::SameText(reader_.Headers().Names(i), "content-length");
    }
    Check(encodings == 0 || (encodings == 1 && !length), "a request read with two framings",
          reader_.Headers().Text());
  }

  server::RequestReader reader_;
  bool keep_;
  server::ReadResult result_ = server::ReadResult::kNeedMore;
  std::vector<Reading> readings_;
  std::size_t offset_ = 0;
  std::size_t start_ = 0;
  bool over_ = false;
};

// The reader alone, fed the pieces: it takes every byte until the request is over, stays within
// its limits, and reads what it reads from all the bytes at once.
void ReadAlone(std::string_view request, const std::size_t* lengths, int cuts,
               server::ReaderOptions options) {
  Reads whole(options);
  whole.Feed(request);
  const std::vector<Reading> expected = whole.Finish();

  Reads pieces(options);
  std::string_view rest = request;
  for (int i = 0; i < cuts && !rest.empty(); ++i) {
    const std::size_t n = std::min(lengths[i], rest.size());
    pieces.Feed(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  pieces.Feed(rest);
  const std::vector<Reading> got = pieces.Finish();

  // Where the reads split must change nothing.
  const auto same = [request](bool ok, std::string_view what) {
    if (!ok)
      Finding(std::string("cut into pieces, the request reads with another ") + std::string(what),
              request);
  };
  same(got.size() == expected.size(), "number of requests");
  for (std::size_t i = 0; i < got.size() && i < expected.size(); ++i) {
    const Reading& a = got[i];
    const Reading& b = expected[i];
    same(a.result == b.result, "result");
    same(a.refusal == b.refusal, "refusal");
    same(a.end == b.end, "length");
    same(a.state == b.state, "state");
    same(a.head_complete == b.head_complete && a.expects_continue == b.expects_continue,
         "progress");
    same(a.method == b.method && a.version == b.version, "request line");
    same(a.url == b.url && a.raw_path == b.raw_path, "path");
    same(a.query == b.query && a.has_query == b.has_query, "query");
    same(a.headers == b.headers, "header list");
    same(a.content_length == b.content_length, "Content-Length");
    same(a.body == b.body, "body");
  }
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

  ReadAlone(request, lengths, cuts, {.http11_bodies = (flags & 16) != 0});

  quorvin::testing::FakeListener listener(site.root, DefaultFile(flags >> 1));
  if ((flags & 1) != 0) listener.dispatcher = DispatchForm::Instance().Module().Dispatcher;
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
