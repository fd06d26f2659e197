// The client's response reader, fed arbitrary bytes cut into arbitrary reads, with the
// connection ending (and a new one starting) at arbitrary points.
//
// Input: a flags byte, a count byte c (0-15), c piece bytes, then the bytes the server sends.
// A piece byte gives the piece's length (low 7 bits, plus 1); its high bit ends the connection
// after the piece. Flags: bit 0 sends a HEAD request first (its answer has no body), bit 1 lowers
// the largest accepted body to 64 bytes, bit 2 ends the connection after the last byte, bit 3
// writes bodies to a stream of the program's instead of the memory body. Bodies may come with a
// length, chunked, or until the close.
//
// Checked: progress never reports more than the announced length; a delivered body has exactly
// the announced length (or runs until the close) and never exceeds the accepted size; the body
// never holds more bytes than arrived; a failure always says why; once the connection has ended
// the reader is ready for a new response; and the sanitizers see no fault.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "quorvin/client/http_client_core.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using client::HttpClientCore;
using client::TOrbHTTPResponseType;

class FuzzClient final : public HttpClientCore {
 public:
  void Deliver(std::string_view bytes) {
    reads_.emplace_back(bytes);
    arrived_ += static_cast<std::int64_t>(bytes.size());
    while (!reads_.empty()) {
      ReadResponse();
      Check(ResponseBody->Size() <= arrived_, "the body holds more bytes than arrived");
    }
  }

  void UseStream() { SetResponseStream(&stream_); }

  // The peer closes: the read that finds the end, then a new connection.
  void EndConnection() {
    closed_ = true;
    ReadResponse();
    Check(ResState == TOrbHTTPResponseType::RES_REQUEST,
          "the reader is mid-response after the connection ended");
    closed_ = false;
    ResetReader();
  }

 protected:
  int ReceiveSome(char* into, int max) override {
    if (reads_.empty()) return closed_ ? 0 : -1;
    std::string bytes = std::move(reads_.front());
    reads_.pop_front();
    const int n = std::min<int>(max, static_cast<int>(bytes.size()));
    bytes.copy(into, static_cast<std::size_t>(n));
    if (n < static_cast<int>(bytes.size()))
      reads_.push_front(bytes.substr(static_cast<std::size_t>(n)));
    return n;
  }

  void CloseConnection() override {
    // What arrives after a close on the same socket is never read.
    reads_.clear();
  }

  void Progress(std::int32_t received, std::int32_t total) override {
    Check(total >= -1, "progress with a negative total");
    Check(received >= 0, "progress with a negative count");
    if (total >= 0) Check(received <= total, "progress beyond the announced length");
  }

  void ResponseDone() override {
    Check(ResponseStream() != nullptr, "OnResponseDone without a response stream");
    Check(stream_.Size() <= arrived_, "the stream holds more bytes than arrived");
    Check(ResponseBody->Size() == 0, "a body was kept in memory beside the stream");
  }

  void StreamReady(platform::TMemoryStream& body) override {
    Check(ResponseStream() == nullptr, "OnStreamReady with a response stream");
    Check(body.Position() == 0, "the body is delivered at a position other than 0");
    Check(body.Size() > 0, "an empty body was delivered");
    Check(body.Size() <= MaxResponseBody, "a body beyond the accepted size was delivered");
    if (ResponseLength >= 0)
      Check(body.Size() == ResponseLength, "a body of another length than announced");
  }

  void ResponseFailed(const std::string& reason) override {
    Check(!reason.empty(), "a failure without a reason");
    Check(LastError == reason, "LastError differs from the reported failure");
  }

 private:
  std::deque<std::string> reads_;
  platform::TMemoryStream stream_;
  std::int64_t arrived_ = 0;  // on every connection so far: an old body may still be held
  bool closed_ = false;
};

}  // namespace

int ClientResponseOne(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const int cuts = in.Byte() % 16;
  std::uint8_t pieces[16];
  for (int i = 0; i < cuts; ++i) pieces[i] = in.Byte();
  std::string_view rest = in.Rest();

  FuzzClient c;
  if ((flags & 1) != 0) {
    c.SetStringVariable(client::kMethod, "HEAD");
    c.SetStringVariable(client::kURL, "/");
    c.SetStringVariable(client::kProtocolVersion, "HTTP/1.0");
    c.BuildRequest();
  }
  if ((flags & 2) != 0) c.MaxResponseBody = 64;
  if ((flags & 8) != 0) c.UseStream();
  for (int i = 0; i < cuts && !rest.empty(); ++i) {
    const std::size_t n = std::min<std::size_t>((pieces[i] & 0x7F) + 1u, rest.size());
    c.Deliver(rest.substr(0, n));
    rest.remove_prefix(n);
    if ((pieces[i] & 0x80) != 0) c.EndConnection();
  }
  if (!rest.empty()) c.Deliver(rest);
  if ((flags & 4) != 0) c.EndConnection();
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::ClientResponseOne(data, size);
}
#endif
