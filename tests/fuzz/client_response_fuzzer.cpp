// The client's response reader alone, fed arbitrary bytes cut into arbitrary pieces, response
// after response as a kept connection would carry them, with the connection closing after the
// last byte or not.
//
// Input: a flags byte, a count byte c (0-15), c piece lengths (1-256 each), then the bytes the
// server sends. Flags: bit 0 has the request be HEAD (its answers have no body), bit 1 lowers
// the largest accepted body to 64 bytes, bit 2 closes the connection after the last byte. Bodies
// may come with a length, chunked, or until the close.
//
// After every input: the reader reads the same responses whether the bytes come in the pieces or
// all at once, each ending at the same byte; takes every byte it is given until a response is
// over, and none after; hands out each body run as the last bytes it took; reports one head per
// response; hands out no more body than the limit allows, a whole body of exactly its announced
// length and none for an answer without one; stays within its head limits; and the sanitizers
// see no fault.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/client/response_reader.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using client::BodyFraming;
using client::ReadResult;
using client::ResponseFault;
using client::ResponseOptions;
using client::ResponseReader;

// What the reader made of one response, and the byte of the input where it ended.
struct Reading {
  ReadResult result;
  ResponseFault fault;
  std::size_t end;
  client::TOrbHTTPResponseType state;
  bool head_complete;
  std::string version, code, text;
  std::string headers;
  BodyFraming framing;
  std::int64_t content_length;
  std::string body;
};

// The reader fed piece after piece; the bytes after a complete response are the next one's,
// read after Reset.
class Reads {
 public:
  explicit Reads(ResponseOptions options) : options_(options), reader_(options) {}

  void Feed(std::string_view piece) {
    while (!over_) {
      std::size_t used = 0;
      std::string_view run;
      result_ = reader_.Feed(piece, used, run);
      Check(used <= piece.size(), "the reader used more bytes than it was given");
      if (result_ == ReadResult::kNeedMore) {
        Check(used == piece.size(), "the reader asked for more without taking every byte");
      }
      if (result_ == ReadResult::kRefused) Check(used == 0, "a refusal that took bytes");
      if (result_ == ReadResult::kBody) {
        Check(!run.empty(), "an empty run of the body");
        Check(run.data() + run.size() == piece.data() + used,
              "a run of the body that is not the last bytes taken");
      } else {
        Check(run.empty(), "a run of the body beside another result");
      }
      if (result_ == ReadResult::kHead) {
        Check(heads_ == 0, "a second head for one response");
        Check(reader_.HeadComplete(), "a head reported before it was whole");
        ++heads_;
      }
      body_ += run;
      offset_ += used;
      piece.remove_prefix(used);
      CheckLimits();
      if (result_ == ReadResult::kNeedMore) return;
      if (result_ == ReadResult::kHead || result_ == ReadResult::kBody) continue;
      Over();
      if (result_ == ReadResult::kRefused) {
        over_ = true;
        return;
      }
      // A fresh reader needs at least a line end to finish a response: this one took none.
      Check(offset_ > start_, "a response of no bytes");
      start_ = offset_;
      reader_.Reset(options_);
      result_ = ReadResult::kNeedMore;
      if (piece.empty()) return;
    }
  }

  // The connection closes after the bytes fed so far.
  void Close() {
    if (over_) return;
    const bool started = reader_.Started();
    const bool until_close = reader_.ResState() == client::TOrbHTTPResponseType::RES_BODY &&
                             reader_.Framing() == BodyFraming::kUntilClose;
    result_ = reader_.ConnectionClosed();
    if (result_ == ReadResult::kNeedMore) {
      Check(!started, "a close that ends nothing of a started response");
      return;
    }
    if (result_ == ReadResult::kRefused) {
      Check(reader_.Fault() == ResponseFault::kCutShort, "a close refused for another reason");
    } else {
      // Every other end was read before the close.
      Check(until_close, "a close ended a response that was not waiting for it");
    }
    CheckLimits();
    Over();
    over_ = true;
  }

  // The readings of the responses that ended, then of the one still being read.
  std::vector<Reading> Finish() {
    if (!over_) readings_.push_back(Take());
    return std::move(readings_);
  }

 private:
  Reading Take() const {
    // A refusal takes no bytes, wherever the pieces ended before it.
    return {result_,
            reader_.Fault(),
            result_ == ReadResult::kRefused ? start_ : offset_,
            reader_.ResState(),
            reader_.HeadComplete(),
            reader_.Version(),
            reader_.Code(),
            reader_.Text(),
            reader_.Headers().Text(),
            reader_.Framing(),
            reader_.ContentLength(),
            body_};
  }

  void CheckLimits() const {
    Check(reader_.Headers().Count() <= client::kMaxResponseHeaderLines,
          "more header lines than the limit");
    const auto body = static_cast<std::int64_t>(body_.size());
    Check(body == reader_.BodyReceived(), "the body handed out is not the body counted");
    Check(body <= options_.max_body, "a body beyond the limit was handed out");
    if (reader_.Framing() == BodyFraming::kLength) {
      Check(reader_.ContentLength() >= 0 && body <= reader_.ContentLength(),
            "a body beyond its announced length");
    }
    if (reader_.Framing() == BodyFraming::kNoBody) {
      Check(body == 0 && reader_.ContentLength() == 0, "a body for an answer without one");
    }
    if (result_ != ReadResult::kDone) return;
    Check(reader_.HeadComplete() && heads_ == 1, "a response done without its head");
    if (reader_.Framing() == BodyFraming::kLength) {
      Check(body == reader_.ContentLength(), "a complete body shorter than its announced length");
    }
  }

  // The response is over: it takes nothing more, and says so again.
  void Over() {
    std::size_t used = 1;
    std::string_view run;
    Check(reader_.Feed("HTTP/1.0 200 OK\r\n\r\n", used, run) == result_ && used == 0 && run.empty(),
          "a response that is over took more bytes");
    readings_.push_back(Take());
    body_.clear();
    heads_ = 0;
  }

  ResponseOptions options_;
  ResponseReader reader_;
  ReadResult result_ = ReadResult::kNeedMore;
  std::vector<Reading> readings_;
  std::string body_;
  int heads_ = 0;
  std::size_t offset_ = 0;
  std::size_t start_ = 0;
  bool over_ = false;
};

}  // namespace

int ClientResponseOne(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const int cuts = in.Byte() % 16;
  std::size_t lengths[16];
  for (int i = 0; i < cuts; ++i) lengths[i] = std::size_t{in.Byte()} + 1;
  const std::string_view response = in.Rest();
  const ResponseOptions options{.head_request = (flags & 1) != 0,
                                .max_body = (flags & 2) != 0 ? 64 : client::kMaxResponseBody};
  const bool close = (flags & 4) != 0;

  Reads whole(options);
  whole.Feed(response);
  if (close) whole.Close();
  const std::vector<Reading> expected = whole.Finish();

  Reads pieces(options);
  std::string_view rest = response;
  for (int i = 0; i < cuts && !rest.empty(); ++i) {
    const std::size_t n = std::min(lengths[i], rest.size());
    pieces.Feed(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  pieces.Feed(rest);
  if (close) pieces.Close();
  const std::vector<Reading> got = pieces.Finish();

  // Where the pieces split must change nothing, but for a body that runs until the close: how
  // much of it is handed out before a refusal for its size depends on the pieces.
  const auto same = [response](bool ok, std::string_view what) {
    if (!ok) {
      Finding(std::string("cut into pieces, the response reads with another ") + std::string(what),
              response);
    }
  };
  same(got.size() == expected.size(), "number of responses");
  for (std::size_t i = 0; i < got.size() && i < expected.size(); ++i) {
    const Reading& a = got[i];
    const Reading& b = expected[i];
    same(a.result == b.result && a.fault == b.fault, "result");
    same(a.end == b.end, "length");
    same(a.state == b.state && a.head_complete == b.head_complete, "state");
    same(a.version == b.version && a.code == b.code && a.text == b.text, "status line");
    same(a.headers == b.headers, "header list");
    same(a.framing == b.framing && a.content_length == b.content_length, "framing");
    const bool refused_until_close =
        a.fault == ResponseFault::kTooLarge && a.framing == BodyFraming::kUntilClose;
    same(refused_until_close || a.body == b.body, "body");
  }
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::ClientResponseOne(data, size);
}
#endif
