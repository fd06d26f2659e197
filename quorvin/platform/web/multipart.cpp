#include "quorvin/platform/web/multipart.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::web {

namespace {

// The most of the input worked through at a time: the reader copies the bytes it is given
// into its own buffer in slices of this size, so the memory it holds does not grow with the
// pieces its caller feeds.
constexpr std::size_t kSlice = 64 * 1024;

constexpr std::size_t kMaxBoundary = 70;

// A delimiter followed by neither "--", blanks nor a line end: the boundary's text turned up in
// a part's content, which a sender must not let happen.
constexpr const char* kBoundaryGoesOn =
    "a boundary line goes on after the boundary (or the boundary is in a part's content)";

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The characters a boundary may have; a blank only inside it, never last.
bool IsBoundaryChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

using Parameters = std::vector<std::pair<std::string, std::string>>;

// The "; name=value" parameters after a media type or disposition type, names in lower case,
// quoted values unquoted. A backslash escapes only a quote or a backslash after it: browsers
// send the path "C:\dir\a.txt" unescaped, and it stays as it was sent. False for text that is
// not a list of parameters, or that names one parameter twice (two readers could each take a
// different one).
bool ParseParameters(std::string_view text, Parameters& out) {
  for (;;) {
    text = platform::TrimLeft(text);
    if (text.empty()) return true;
    if (text.front() != ';') return false;
    text = platform::TrimLeft(text.substr(1));
    if (text.empty()) return true;  // a ";" at the end says nothing
    std::size_t n = 0;
    while (n < text.size() && IsTokenChar(text[n])) ++n;
    if (n == 0) return false;
    std::string name = platform::LowerCase(text.substr(0, n));
    text = platform::TrimLeft(text.substr(n));
    if (text.empty() || text.front() != '=') return false;
    text = platform::TrimLeft(text.substr(1));
    std::string value;
    if (!text.empty() && text.front() == '"') {
      std::size_t i = 1;
      for (;; ++i) {
        if (i >= text.size()) return false;  // no closing quote
        const char c = text[i];
        if (c == '"') break;
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
          value += text[++i];
        } else {
          value += c;
        }
      }
      text.remove_prefix(i + 1);
    } else {
      std::size_t end = 0;
      while (end < text.size() && text[end] != ';' && static_cast<unsigned char>(text[end]) > 32)
        ++end;
      value = std::string(text.substr(0, end));
      text.remove_prefix(end);
    }
    for (const auto& [seen, unused] : out) {
      if (seen == name) return false;
    }
    out.emplace_back(std::move(name), std::move(value));
  }
}

const std::string* Find(const Parameters& params, std::string_view name) {
  for (const auto& [key, value] : params) {
    if (key == name) return &value;
  }
  return nullptr;
}

// The value of a filename* parameter (charset'language'percent-escaped bytes) when its charset
// is UTF-8, the only one clients use; nullopt for any other.
std::optional<std::string> ExtendedValue(std::string_view text) {
  const std::size_t first = text.find('\'');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('\'', first + 1);
  if (second == std::string_view::npos || !platform::SameText(text.substr(0, first), "UTF-8")) {
    return std::nullopt;
  }
  return HTTPDecode(text.substr(second + 1));
}

bool OnlyDotsAndBlanks(std::string_view name) {
  return name.find_first_not_of(". \t") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> MultipartReader::BoundaryOf(std::string_view content_type) {
  const std::size_t semicolon = content_type.find(';');
  if (!platform::SameText(platform::Trim(content_type.substr(0, semicolon)),
                          "multipart/form-data") ||
      semicolon == std::string_view::npos) {
    return std::nullopt;
  }
  Parameters params;
  if (!ParseParameters(content_type.substr(semicolon), params)) return std::nullopt;
  const std::string* boundary = Find(params, "boundary");
  if (boundary == nullptr || boundary->empty() || boundary->size() > kMaxBoundary ||
      boundary->back() == ' ' || !std::all_of(boundary->begin(), boundary->end(), IsBoundaryChar)) {
    return std::nullopt;
  }
  return *boundary;
}

MultipartReader::MultipartReader(std::string_view boundary, Handler& handler,
                                 MultipartLimits limits)
    : delimiter_("\r\n--" + std::string(boundary)),
      handler_(handler),
      limits_(limits),
      buf_("\r\n") {}

MultipartReader::Result MultipartReader::Feed(std::string_view bytes, std::size_t& used) {
  used = 0;
  while (state_ != State::kBad && state_ != State::kDone && used < bytes.size()) {
    const std::size_t take = std::min(bytes.size() - used, kSlice);
    buf_.append(bytes.substr(used, take));
    used += take;
    Step();
  }
  if (state_ == State::kBad) return Result::kBad;
  if (state_ == State::kDone) {
    // What follows the closing boundary is no part's: taken and ignored.
    used = bytes.size();
    return Result::kDone;
  }
  return Result::kNeedMore;
}

MultipartReader::Result MultipartReader::Finish() {
  if (state_ == State::kDone) return Result::kDone;
  if (state_ == State::kPreamble) {
    Fail("the body has no boundary line");
  } else if (state_ != State::kBad) {
    Fail("the body ends before its closing boundary");
  }
  return Result::kBad;
}

void MultipartReader::Fail(std::string why) {
  if (state_ == State::kBad) return;
  state_ = State::kBad;
  error_ = std::move(why);
  buf_.clear();
  buf_.shrink_to_fit();
}

void MultipartReader::Step() {
  std::size_t pos = 0;
  // Each state takes what it can of buf_ from `pos` on; the scanning states stop early when the
  // rest may be the start of a delimiter.
  bool more = true;
  while (more && pos < buf_.size()) {
    switch (state_) {
      case State::kPreamble:
      case State::kData: {
        const std::string_view rest = std::string_view(buf_).substr(pos);
        const std::size_t at = rest.find(delimiter_);
        if (at != std::string_view::npos) {
          if (state_ == State::kData) {
            if (at > 0) handler_.PartData(rest.substr(0, at));
            handler_.PartEnds();
          }
          pos += at + delimiter_.size();
          state_ = State::kAfterBoundary;
          break;
        }
        // No delimiter: everything goes but a tail that may be the start of one.
        std::size_t keep =
            rest.size() > delimiter_.size() - 1 ? rest.size() - (delimiter_.size() - 1) : 0;
        while ((keep = rest.find('\r', keep)) != std::string_view::npos &&
               !std::string_view(delimiter_).starts_with(rest.substr(keep))) {
          ++keep;
        }
        if (keep == std::string_view::npos) keep = rest.size();
        if (state_ == State::kData && keep > 0) handler_.PartData(rest.substr(0, keep));
        pos += keep;
        more = false;
        break;
      }
      case State::kAfterBoundary: {
        const char c = buf_[pos++];
        if (c == '-') {
          state_ = State::kCloseDash;
        } else if (c == ' ' || c == '\t') {
          state_ = State::kPadding;
        } else if (c == '\r') {
          state_ = State::kLineEnd;
        } else {
          Fail(kBoundaryGoesOn);
        }
        break;
      }
      case State::kCloseDash:
        if (buf_[pos++] != '-') {
          Fail(kBoundaryGoesOn);
        } else {
          state_ = State::kDone;
        }
        break;
      case State::kPadding: {
        // Blanks a sender may leave after a boundary, before its line end.
        const char c = buf_[pos++];
        if (c == '\r') {
          state_ = State::kLineEnd;
        } else if (c != ' ' && c != '\t') {
          Fail(kBoundaryGoesOn);
        }
        break;
      }
      case State::kLineEnd:
        if (buf_[pos++] != '\n') {
          Fail("a boundary line ends without CR LF");
        } else if (parts_ == limits_.max_parts) {
          Fail("the body has more than " + std::to_string(limits_.max_parts) + " parts");
        } else {
          ++parts_;
          part_ = MultipartPart();
          has_disposition_ = false;
          has_type_ = false;
          head_bytes_ = 0;
          head_lines_ = 0;
          line_.clear();
          line_cr_ = false;
          state_ = State::kHead;
        }
        break;
      case State::kHead: {
        // A byte at a time: the head is short, and its limit is counted exactly.
        const char c = buf_[pos++];
        if (++head_bytes_ > limits_.max_part_head) {
          Fail("a part's head is larger than " + std::to_string(limits_.max_part_head) + " bytes");
        } else if (line_cr_) {
          if (c != '\n') {
            Fail("a line of a part's head has a CR without LF");
          } else {
            line_cr_ = false;
            HeadLine();
          }
        } else if (c == '\r') {
          line_cr_ = true;
        } else if (c == '\n') {
          Fail("a line of a part's head ends in a bare LF");
        } else {
          line_ += c;
        }
        break;
      }
      case State::kDone:
      case State::kBad:
        more = false;
        break;
    }
  }
  if (state_ == State::kDone) {
    buf_.clear();
    buf_.shrink_to_fit();
  } else if (state_ != State::kBad) {
    buf_.erase(0, pos);
  }
}

void MultipartReader::HeadLine() {
  if (line_.empty()) {
    HeadEnds();
    return;
  }
  if (++head_lines_ > limits_.max_part_headers) {
    Fail("a part's head has more than " + std::to_string(limits_.max_part_headers) +
         " header lines");
    return;
  }
  const std::string_view line = line_;
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos ||
      !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), IsTokenChar)) {
    Fail(line.front() == ' ' || line.front() == '\t' ? "a header line of a part is folded"
                                                     : "a line of a part's head is not a header");
    return;
  }
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = platform::Trim(line.substr(colon + 1));
  if (platform::SameText(name, "Content-Disposition")) {
    if (has_disposition_) {
      Fail("a part has two Content-Disposition headers");
      return;
    }
    has_disposition_ = true;
    const std::size_t semicolon = value.find(';');
    Parameters params;
    if (!platform::SameText(platform::Trim(value.substr(0, semicolon)), "form-data")) {
      Fail("a part's Content-Disposition is not form-data");
      return;
    }
    if (semicolon != std::string_view::npos && !ParseParameters(value.substr(semicolon), params)) {
      Fail("a part's Content-Disposition is malformed");
      return;
    }
    const std::string* field = Find(params, "name");
    if (field == nullptr) {
      Fail("a part has no name");
      return;
    }
    part_.name = *field;
    if (const std::string* file = Find(params, "filename")) {
      part_.file_name = *file;
      part_.has_file_name = true;
    }
    if (const std::string* extended = Find(params, "filename*")) {
      if (std::optional<std::string> decoded = ExtendedValue(*extended)) {
        part_.file_name = std::move(*decoded);
        part_.has_file_name = true;
      }
    }
  } else if (platform::SameText(name, "Content-Type")) {
    if (has_type_) {
      Fail("a part has two Content-Type headers");
      return;
    }
    has_type_ = true;
    part_.content_type = std::string(value);
  }
  line_.clear();
}

void MultipartReader::HeadEnds() {
  if (!has_disposition_) {
    Fail("a part has no Content-Disposition: form-data");
    return;
  }
  line_.clear();
  line_.shrink_to_fit();
  state_ = State::kData;
  handler_.PartBegins(part_);
}

std::string SafeFileName(std::string_view sent) {
  const std::size_t slash = sent.find_last_of("/\\");
  if (slash != std::string_view::npos) sent.remove_prefix(slash + 1);
  std::string name;
  name.reserve(sent.size());
  for (const char c : sent) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) name += c;
  }
  // Most file systems take no name longer than 255 bytes.
  constexpr std::size_t kMaxName = 255;
  constexpr std::size_t kMaxExtension = 16;
  if (name.size() > kMaxName) {
    const std::size_t dot = name.rfind('.');
    const std::string extension =
        dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxExtension ? name.substr(dot)
                                                                                  : "";
    std::size_t cut = kMaxName - extension.size();
    // Not inside a UTF-8 character: back to the byte that begins one.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut) + extension;
  }
  if (OnlyDotsAndBlanks(name)) return {};
  return name;
}

}  // namespace quorvin::web
