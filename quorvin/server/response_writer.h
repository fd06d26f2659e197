#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/host/file_system.h"
#include "quorvin/server/byte_block.h"
#include "quorvin/server/file_settings.h"
#include "quorvin/server/preconditions.h"

namespace quorvin::server {

// What a file answer depends on in the request: the conditions and range, and what the answer
// says of the bytes sent: a Content-Encoding (a compressed sibling of the file named), and
// whether the answer varies with Accept-Encoding.
struct FileRequest : FileConditions {
  std::string_view encoding;
  bool vary_encoding = false;
};

// What follows a file answer's heading: nothing, or the file's bytes `first` to `last`.
struct FileBytes {
  bool send = false;
  std::int64_t first = 0;
  std::int64_t last = -1;  // inclusive
};

// The answers a connection writes itself, into one output buffer: status lines with the Server
// and Date headers, a file's heading, error pages and redirects.
class ResponseWriter {
 public:
  // `server_name` is asked for the Server header's value as each status line is written; an
  // empty name leaves the header out.
  explicit ResponseWriter(std::function<std::string()> server_name);

  // The answer written so far.
  std::string_view Buffer() const {
    return {buffer_.data(), static_cast<std::size_t>(buffer_length_)};
  }

  std::int32_t BufferLength() const { return buffer_length_; }

  // The code of the status line written; 0 while there is none.
  std::int32_t StatusCode() const { return status_code_; }

  void WriteString(std::string_view text);
  // name ": " text CR LF
  void WriteHeaders(std::string_view name, std::string_view text);
  void WriteHeader(std::string_view name, std::int64_t value);
  // The status line (the version, a space, `status_text`), then the Server and Date headers.
  // The heading is left open for more headers and its blank line.
  void WriteStatuss(std::string_view status_text);
  void WriteStatus(int code);
  // The Content-type of the file at `path`, when its extension has one (or options give one).
  void WriteFileType(std::string_view path);
  // Options for the file answers that follow (nullptr: none).
  void SetFileOptions(std::shared_ptr<const FileOptions> options) { file_options_ = std::move(options); }
  // The heading of an answer from the open file at `path`, as DecideFileAnswer rules: 304 when
  // the client's copy is current, 416 for a range outside the file, 206 for a range (unless
  // If-Range names another version of the file), else 200. Says which bytes of the file follow.
  FileBytes WriteHeading(std::string_view path, const host::FileInfo& file,
                         const FileRequest& request);
  // The heading of an error answer whose page is the file at `path` (the program's own page for
  // that status): the status, the file's type and length. The whole file follows.
  FileBytes WritePageHeading(int code, std::string_view path, const host::FileInfo& file);
  // A whole 200 answer of `type` holding `body` (only its heading when `with_body` is false).
  void WriteDocument(std::string_view type, std::string_view body, bool with_body);
  // "ERROR : " and the status text of `code`.
  static std::string SendHTTPError(int code);
  // A whole answer: the status line of `code` and a one-line HTML page that names the error.
  void WriteError(int code);
  void WriteRedirect(int code, std::string_view location);

  // What the answers say of their connection: empty (the default) writes nothing, and every
  // answer ends its connection as a one-request server's does; otherwise each heading carries
  // "Connection: " and `option` ("keep-alive" or "close"), and every answer that has a body, or
  // none where one could follow, tells its length so that the next answer can follow it.
  void SetConnectionOption(std::string_view option) { connection_option_ = option; }
  // The protocol version of the status lines: "HTTP/1.0" unless set. A server that keeps
  // connections answers an HTTP/1.1 request as HTTP/1.1, so that its client goes on with 1.1.
  void SetVersion(std::string_view version) { version_ = version; }

  // Starts over for the next answer on the same connection, and gives the buffer back.
  void Reset();

 private:
  // Ends a heading: the connection's headers, and the length of a body of `body_length` bytes
  // (-1: the heading announced its own, or the answer can have none), then the blank line.
  void EndHeading(std::int64_t body_length);

  std::function<std::string()> server_name_;
  ByteBlock buffer_{0};
  std::int32_t buffer_length_ = 0;
  std::int32_t status_code_ = 0;
  std::string_view connection_option_;
  std::string_view version_ = "HTTP/1.0";
  std::shared_ptr<const FileOptions> file_options_;
};

}  // namespace quorvin::server
