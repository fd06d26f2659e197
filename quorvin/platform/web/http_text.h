#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvin/platform/core/recycled.h"
#include "quorvin/platform/core/string_list.h"

// The text of HTTP message heads, as the server's request reader and the client's response
// reader both take it: lines assembled from bytes that arrive in pieces, start lines, header
// entries, and the values read from headers (lengths, byte ranges).
namespace quorvin::web {

// Outcome of assembling a line from received bytes.
enum class LineResult { kNeedMore, kLine, kTooLong };

// What a reader accepts of one message head.
struct HeadLimits {
  std::size_t max_line;          // characters of one line, its line end not counted
  int max_header_lines;          // header lines of one head
  std::size_t max_header_bytes;  // characters of all its header lines together
};

// The lines of a message head as its bytes arrive, in pieces of any size, and the header text
// counted against the head's limits. Keeps no pointer into the bytes it is given.
class HeadReader {
 public:
  explicit HeadReader(const HeadLimits& limits) : limits_(limits) {}

  // Takes the bytes of `bytes` from `pos` on into the line being assembled, up to and including
  // the next LF, and moves `pos` past what it took. kLine: the line is whole, in Line() without
  // its line end; kNeedMore: every byte was taken and the line goes on in the next ones;
  // kTooLong: the line has more characters than the limit (Line() holds the first of them). A
  // CR is dropped wherever it stands and a NUL byte adds nothing, so a bare LF ends a line too.
  LineResult GetLine(std::string_view bytes, std::size_t& pos);

  std::string_view Line() const { return line_; }

  // True when the line held a NUL byte, which Line() leaves out: a reader that must not guess
  // what such a line means refuses it.
  bool LineHadNul() const { return line_had_nul_; }

  void ClearLine() {
    line_.clear();
    line_had_nul_ = false;
  }

  // Counts the current line into the header text of a head that holds `header_lines` header
  // lines with it (which lines count is the reader's to say); false when the head is then larger
  // than its limits allow.
  bool CountHeader(int header_lines);

  // The line just read begins a new head: the header text counted so far was another head's.
  void BeginHead() { header_bytes_ = 0; }

 private:
  HeadLimits limits_;
  // Its room is recycled: every connection reads a line longer than a short string holds.
  std::basic_string<char, std::char_traits<char>, platform::RecyclingAllocator<char>> line_;
  std::size_t header_bytes_ = 0;
  bool line_had_nul_ = false;
};

// The longest chunk-size line read, its extensions included and its line end not: a size needs
// a few hex digits, and extensions are ignored, so a longer line is a peer holding memory.
constexpr std::size_t kMaxChunkSizeLine = 1024;

// Outcome of reading a chunked body's framing.
enum class ChunkResult { kNeedMore, kData, kLastChunk, kMalformed, kTooLarge };

// The framing of a chunked body as its bytes arrive, in pieces of any size: each chunk's size
// line (hex digits, then optional blanks and ";" extensions, which are ignored), its data, and
// the line end after the data, up to the size line of the last chunk ("0"). The trailer lines
// that follow are header lines, for the caller to read against its head's limits. A line ends
// with CR LF or a bare LF; a CR anywhere else in the framing is malformed, as some other party
// could take it for a line end and read the chunks differently. Keeps no pointer into the bytes
// it is given.
class ChunkReader {
 public:
  // `max_body`: the most data bytes all chunks together may carry (below 2^59, so that a size
  // being read fits its 64 bits).
  explicit ChunkReader(std::int64_t max_body) : max_body_(max_body) {}

  // Reads from `bytes` at `pos` on and moves `pos` past what it took. kData: `data` is the next
  // run of the body's bytes, a view into `bytes`; call again for what follows. kLastChunk: the
  // last chunk's size line has been read, and the trailer lines start at `pos`. kNeedMore: every
  // byte was taken. kMalformed: the framing is not that of a chunked body. kTooLarge: the chunks
  // carry more than `max_body` bytes, said before their data is read.
  ChunkResult Read(std::string_view bytes, std::size_t& pos, std::string_view& data);

  // The data bytes of the chunks read so far.
  std::int64_t BodySize() const { return body_size_; }

 private:
  enum class Phase : std::uint8_t {
    kSize,
    kSizeBlanks,
    kExtension,
    kSizeEnd,
    kData,
    kDataEnd,
    kDataLf,
    kLast
  };

  void EndSizeLine();

  std::int64_t max_body_;
  std::int64_t body_size_ = 0;
  std::int64_t chunk_left_ = 0;  // while reading a size line: the size so far
  std::size_t line_length_ = 0;
  bool has_digit_ = false;
  Phase phase_ = Phase::kSize;
};

// The parts of a start line ("GET /a HTTP/1.0", "HTTP/1.0 200 OK").
struct StartLine {
  std::string_view first;   // up to the first space
  std::string_view second;  // after it and the blanks that follow, up to the next space; all the
                            // rest, blanks included, when there is none
  std::optional<std::string_view> third;  // after that space and the blanks that follow; absent
                                          // when there is no second space
};

// Splits `line` at its spaces; false, with nothing set, for a line without a space.
bool SplitStartLine(std::string_view line, StartLine& parts);

// A received header line "Name: value" as the entry "name=value" that header lists keep: the
// name lower-cased (names match without regard to case), the value as sent but without the
// blanks (spaces, tabs) around it. False, with nothing stored, for a line without a colon.
bool HeaderEntry(std::string_view line, std::string& entry);
// Adds the entry of the header line `line` to `headers`; a line without a colon adds nothing.
void AddHeaderEntry(std::string_view line, platform::TStringList& headers);

// True for one or more decimal digits and nothing else: no sign, no blank.
bool AllDigits(std::string_view s);

// What a Range header asks of a file of a given size.
enum class RangeRequest { kWhole, kPart, kUnsatisfiable };

// Reads a single "bytes=a-b", "bytes=a-" or "bytes=-n" against a file of `size` bytes. Several
// ranges, malformed text and numbers that overflow ask for the whole file. On kPart, `first`
// and `last` are the inclusive byte positions to send.
RangeRequest ParseRange(std::string_view value, std::int64_t size, std::int64_t& first,
                        std::int64_t& last);

}  // namespace quorvin::web
