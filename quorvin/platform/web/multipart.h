#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The parts of a multipart/form-data body, read as its bytes arrive: what each part's head says
// and its content in pieces, never the whole of a part at once.
namespace quorvin::web {

// What the reader accepts of a body's part heads and parts.
struct MultipartLimits {
  std::size_t max_parts = 1000;          // parts in one body
  std::size_t max_part_head = 8 * 1024;  // bytes of one part's head, line ends and blank line in
  int max_part_headers = 32;             // header lines in one part
};

// What a part's head says.
struct MultipartPart {
  std::string name;            // from Content-Disposition: form-data; name="..."
  std::string file_name;       // filename="..." (or a UTF-8 filename*=), as sent; "" when none
  bool has_file_name = false;  // a file part, even when the client sent an empty file name
  std::string content_type;    // "" when none (text/plain for a field, by default)
};

// Reads a multipart/form-data body fed in pieces of any size and hands each part to a Handler:
// its head, its content in order, its end. Knows no sockets and no files, keeps no pointer into
// the bytes it is given, and holds back at most a delimiter's length of a part's content, so a
// part of any size passes through in constant memory.
//
// What it takes: a preamble before the first boundary line (ignored), then parts, each a
// boundary line, header lines, a blank line and the content, up to the closing boundary line;
// what follows that is ignored. Every line of the framing ends with CR LF. A bare LF is
// refused, not taken for a line end: the CR LF before a boundary belongs to the boundary, not to
// the content, and a reader that guessed otherwise would hand out a byte more or less than
// another party reading the same body.
class MultipartReader {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    virtual void PartBegins(const MultipartPart& part) = 0;
    // A piece of the part's content; the pieces in order are the whole of it.
    virtual void PartData(std::string_view bytes) = 0;
    virtual void PartEnds() = 0;
  };

  enum class Result { kNeedMore, kDone, kBad };

  // The boundary of a multipart/form-data Content-Type (quoted or not); nullopt when the type
  // is not multipart/form-data or the boundary is missing, empty, longer than 70 characters or
  // has a character a boundary may not have.
  static std::optional<std::string> BoundaryOf(std::string_view content_type);

  MultipartReader(std::string_view boundary, Handler& handler, MultipartLimits limits = {});
  MultipartReader(const MultipartReader&) = delete;
  MultipartReader& operator=(const MultipartReader&) = delete;

  // Reads as much of the body as `bytes` holds. kNeedMore: all bytes taken, call again with the
  // next ones (or Finish when there are none); kDone: the closing boundary has come, and every
  // byte is taken, what follows it being ignored (later calls take theirs and say kDone again);
  // kBad: the body is malformed or beyond the limits, Error() says why, and every later call
  // says kBad. `used` is the count of bytes taken.
  Result Feed(std::string_view bytes, std::size_t& used);
  // The body has no more bytes: kDone when its closing boundary came, else kBad.
  Result Finish();

  // Why the body was refused, in words ("" until it is).
  std::string_view Error() const { return error_; }

 private:
  enum class State {
    kPreamble,
    kAfterBoundary,
    kCloseDash,
    kPadding,
    kLineEnd,
    kHead,
    kData,
    kDone,
    kBad
  };

  // Works through buf_ as far as it can; consumed bytes leave buf_.
  void Step();
  // Looks for the delimiter in buf_: hands out (or, before the first part, drops) the bytes
  // before it and moves on past it, or hands out all but a tail that may begin one.
  void ScanForDelimiter();
  // The head line in line_ (without its CR LF) is whole.
  void HeadLine();
  void HeadEnds();
  void Fail(std::string why);

  // "\r\n--" + boundary: what ends a part. The body is read as though it began with CR LF, so
  // that a boundary line at its very start is found the same way.
  std::string delimiter_;
  Handler& handler_;
  MultipartLimits limits_;
  State state_ = State::kPreamble;
  // Bytes not yet worked through: at most a slice of the input and a delimiter's length.
  std::string buf_;
  std::string line_;      // the head line being read
  bool line_cr_ = false;  // line_ ended in a CR, which must be followed by LF
  std::size_t head_bytes_ = 0;
  int head_lines_ = 0;
  std::size_t parts_ = 0;
  MultipartPart part_;
  bool has_disposition_ = false;
  bool has_type_ = false;
  std::string error_;
};

// A client's file name made safe to use as one name in a folder: the part after its last / or
// \ (a browser may send the whole path it was picked from), control characters removed, cut to
// 255 bytes (keeping a short extension, never splitting a UTF-8 character). "" for "", ".", ".."
// or a name of only dots and blanks. Never a path.
std::string SafeFileName(std::string_view sent);

}  // namespace quorvin::web
