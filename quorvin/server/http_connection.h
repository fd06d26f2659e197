#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"
#include "quorvin/platform/host/file_system.h"
#include "quorvin/server/server_module.h"
#include "quorvin/webbridge/connection_view.h"

namespace quorvin::server {

// Reading states of a connection's request.
enum class ZReqtype : std::uint8_t { REQ_REQUEST, REQ_HEADER, REQ_BODY, REQ_DONE, REQ_SIMPLE };

// Outcome of assembling a line from received bytes.
enum class LineResult { kNeedMore, kLine, kTooLong };

constexpr int kReadSize = 8192;            // bytes received at most per read
constexpr int kMaxLine = 8192;             // characters in a request or header line
constexpr int kMaxHeaderLines = 100;       // header lines in one request
constexpr int kMaxHeaderBytes = 64 * 1024; // all header lines together
constexpr std::int32_t kMaxBody = 16 * 1024 * 1024;  // the largest request body accepted

// Host file attribute bits as target resolution reads them.
constexpr std::uint32_t kAttrHidden = 0x2;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrNone = 0xFFFFFFFF;

// A block of bytes that grows without clearing what it adds: the receive buffer is filled by
// every read and the output written over it, so zeroing it would only cost time per connection.
// Blocks of the usual size are kept for the next connection on this thread (a few at most):
// allocating and freeing 8 KiB per request costs more than the rest of the allocations together.
class ByteBlock {
 public:
  explicit ByteBlock(std::size_t size);
  ~ByteBlock();
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;
  char* data() { return bytes_.get(); }
  const char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  char& operator[](std::size_t i) { return bytes_[i]; }
  // Grows to `size`, keeping the first `keep` bytes.
  void Grow(std::size_t size, std::size_t keep);

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

// What a Range header asks of a file of a given size.
enum class RangeRequest { kWhole, kPart, kUnsatisfiable };
// Reads a single "bytes=a-b", "bytes=a-" or "bytes=-n" against a file of `size` bytes. Several
// ranges, malformed text and numbers that overflow ask for the whole file. On kPart, `first`
// and `last` are the inclusive byte positions to send.
RangeRequest ParseRange(std::string_view value, std::int64_t size, std::int64_t& first, std::int64_t& last);

// One server connection's protocol: reads and parses the request, decides the answer (web
// actions first, then a static file under the root), writes headings and error pages, and sends.
// The socket bindings derive from it and supply only the socket operations below.
class HttpConnection : public webbridge::ConnectionView {
 public:
  HttpConnection(ListenerConfig& listener);
  virtual ~HttpConnection();

  // Data arrived: read, assemble lines, parse; once the request is complete, prepare the answer
  // and ask for write readiness.
  void OnReads();
  // Write ready: send what the answer left in Buffer / FileStream / Body, then end.
  void OnWrites();

  LineResult GetLine(const char* buf, int count, int& pos);
  void ProcessLine();
  bool BodySent();
  void AddToBody(int count, int start);

  bool StartResponse();
  bool FindTarget(std::string& path);
  bool URLtoPath(std::string& path) const;
  static void StripLast(std::string& path, std::string& last);
  bool CheckDefault();

  void WriteString(std::string_view text);
  void WriteHeaders(std::string_view name, std::string_view text);
  void WriteHeader(std::string_view name, std::int64_t value);
  void WriteStatuss(std::string_view status_text);
  void WriteStatus(int code);
  void WriteFileType();
  bool WriteHeading();
  static std::string SendHTTPError(int code);
  void WriteError(int code);

  // webbridge::ConnectionView
  std::string_view RequestField(Field field) const override;
  const platform::TStringList& RequestHeaders() const override { return Headers; }
  platform::TMemoryStream& RequestBody() override { return *Body; }

  ListenerConfig& Server;
  ZReqtype ReqState = ZReqtype::REQ_REQUEST;
  std::int32_t StatusCode = 0;
  ByteBlock Buffer;           // receive buffer, then the output buffer
  std::string LineBuffer;     // the line being assembled
  std::unique_ptr<platform::TFileStream> FileStream;
  std::unique_ptr<platform::TMemoryStream> Body;
  std::int32_t ContentLength = 0;
  std::int32_t BufferLength = 0;
  std::uint32_t FileAttributes = kAttrNone;
  bool FileMode = true;
  platform::TStringList Headers;
  std::string ExtraPath;
  std::string TranslatedPath;
  std::string TargetPath;
  std::string DefaultDocument;
  std::string URL;
  std::string Method;
  std::string Version;
  std::string Query;
  std::string RawPath;        // the request path as sent, before decoding
  bool BodyIsAnswer = false;  // Body holds a dispatched answer, not the request body

 protected:
  // What the socket bindings do differently. Nothing else may differ.
  // Bytes read into `into` (at most `max`); -1 when nothing can be read now; 0 when the peer
  // has closed. Raises when the receive fails.
  virtual int ReadSome(char* into, int max) = 0;
  // Sends every byte of `bytes`, queueing what cannot leave now.
  virtual void WriteAll(std::string_view bytes) = 0;
  // Takes `stream`, sends it from its position to its end, then closes the connection.
  virtual void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) = 0;
  virtual void CloseNow() = 0;
  // No more data-arrived events; report write readiness.
  virtual void AwaitWritable() = 0;
  // The name the Server header carries; empty leaves the header out.
  virtual std::string LocalHostName() const = 0;

 private:
  void FinishRequest();
  void RefuseRequest(int code);
  void WriteRedirect(int code, std::string_view location);
  bool NotModifiedSince(std::time_t modified) const;
  bool Dispatch();
  std::uint32_t AttributesOf(const std::string& path) const;
  std::uint32_t OpenTarget(const std::string& path);
  void WriteHeaderName(std::string_view name);

  int header_lines_ = 0;
  int header_bytes_ = 0;
  bool answered_ = false;
  bool has_query_ = false;
  std::int64_t file_start_ = 0;  // where the file answer begins (a byte range starts later)
  host::FileInfo target_info_;   // of FileStream, once it is open for TargetPath
  bool target_open_ = false;
};

}  // namespace quorvin::server
