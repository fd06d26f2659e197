#include "quorvin/platform/web/http_text.h"

#include <algorithm>
#include <cstring>

#include "quorvin/platform/core/text.h"

namespace quorvin::web {

namespace {

// A whole non-negative decimal number that fits; nothing else.
std::optional<std::int64_t> Count(std::string_view s) {
  if (!AllDigits(s)) return std::nullopt;
  const auto v = platform::ParseDecimal(s);
  return v && *v >= 0 ? v : std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

LineResult HeadReader::GetLine(std::string_view bytes, std::size_t& pos) {
  while (pos < bytes.size()) {
    const char* start = bytes.data() + pos;
    const char* stop = bytes.data() + bytes.size();
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', bytes.size() - pos));
    const char* end = nl != nullptr ? nl : stop;
    // The characters go over in runs: a carriage return is dropped wherever it stands and a NUL
    // byte adds nothing, so each run ends before one of them.
    for (const char* p = start; p < end;) {
      const char* run = p;
      while (p < end && *p != '\r' && *p != '\0') ++p;
      const std::size_t room = limits_.max_line - line_.size();
      const auto length = static_cast<std::size_t>(p - run);
      if (length > room) {
        line_.append(run, room);
        pos = static_cast<std::size_t>(run + room - bytes.data());
        return LineResult::kTooLong;
      }
      line_.append(run, length);
      if (p < end) {
        line_had_nul_ = line_had_nul_ || *p == '\0';
        ++p;
      }
    }
    pos = static_cast<std::size_t>(end - bytes.data());
    if (nl != nullptr) {
      ++pos;
      return LineResult::kLine;
    }
  }
  return LineResult::kNeedMore;
}

bool HeadReader::CountHeader(int header_lines) {
  header_bytes_ += line_.size();
  return header_lines <= limits_.max_header_lines && header_bytes_ <= limits_.max_header_bytes;
}

ChunkResult ChunkReader::Read(std::string_view bytes, std::size_t& pos, std::string_view& data) {
  while (pos < bytes.size()) {
    switch (phase_) {
      case Phase::kData: {
        // The data goes over as it stands, in one run per call: no copy, no scan.
        const auto take = static_cast<std::size_t>(
            std::min<std::int64_t>(chunk_left_, static_cast<std::int64_t>(bytes.size() - pos)));
        data = bytes.substr(pos, take);
        pos += take;
        chunk_left_ -= static_cast<std::int64_t>(take);
        body_size_ += static_cast<std::int64_t>(take);
        if (chunk_left_ == 0) phase_ = Phase::kDataEnd;
        return ChunkResult::kData;
      }
      case Phase::kLast:
        return ChunkResult::kLastChunk;
      case Phase::kDataEnd: {
        // Data not followed by its line end is data of another length than the size said.
        const char c = bytes[pos++];
        if (c == '\r') {
          phase_ = Phase::kDataLf;
        } else if (c == '\n') {
          phase_ = Phase::kSize;
        } else {
          return ChunkResult::kMalformed;
        }
        break;
      }
      case Phase::kDataLf:
        if (bytes[pos++] != '\n') return ChunkResult::kMalformed;
        phase_ = Phase::kSize;
        break;
      case Phase::kSizeEnd:
        if (bytes[pos++] != '\n') return ChunkResult::kMalformed;
        EndSizeLine();
        break;
      case Phase::kSize:
      case Phase::kSizeBlanks:
      case Phase::kExtension: {
        const char c = bytes[pos++];
        if (c == '\r' || c == '\n') {
          if (!has_digit_) return ChunkResult::kMalformed;
          if (c == '\r') {
            phase_ = Phase::kSizeEnd;
          } else {
            EndSizeLine();
          }
          break;
        }
        if (++line_length_ > kMaxChunkSizeLine) return ChunkResult::kMalformed;
        if (phase_ == Phase::kExtension) break;
        const bool blank = c == ' ' || c == '\t';
        const int digit = HexDigit(c);
        if (phase_ == Phase::kSize && digit >= 0) {
          // Refused as soon as the digits say too much: a size never grows past the room left,
          // so it cannot overflow however many digits follow.
          chunk_left_ = chunk_left_ * 16 + digit;
          if (chunk_left_ > max_body_ - body_size_) return ChunkResult::kTooLarge;
          has_digit_ = true;
        } else if (has_digit_ && c == ';') {
          phase_ = Phase::kExtension;
        } else if (has_digit_ && blank) {
          phase_ = Phase::kSizeBlanks;
        } else {
          return ChunkResult::kMalformed;
        }
        break;
      }
    }
  }
  return phase_ == Phase::kLast ? ChunkResult::kLastChunk : ChunkResult::kNeedMore;
}

void ChunkReader::EndSizeLine() {
  phase_ = chunk_left_ == 0 ? Phase::kLast : Phase::kData;
  line_length_ = 0;
  has_digit_ = false;
}

bool SplitStartLine(std::string_view line, StartLine& parts) {
  const auto sp = line.find(' ');
  if (sp == std::string_view::npos) return false;
  parts.first = line.substr(0, sp);
  const std::string_view rest = platform::TrimLeft(line.substr(sp + 1));
  const auto sp2 = rest.find(' ');
  parts.second = rest.substr(0, sp2);
  if (sp2 == std::string_view::npos) {
    parts.third.reset();
  } else {
    parts.third = platform::TrimLeft(rest.substr(sp2 + 1));
  }
  return true;
}

bool HeaderEntry(std::string_view line, std::string& entry) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  entry.resize(colon + 1 + value.size());
  char* out = entry.data();
  for (std::size_t i = 0; i < colon; ++i) out[i] = platform::AsciiLower(line[i]);
  out[colon] = '=';
  if (!value.empty()) std::memcpy(out + colon + 1, value.data(), value.size());
  return true;
}

void AddHeaderEntry(std::string_view line, platform::TStringList& headers) {
  std::string entry;
  if (!HeaderEntry(line, entry)) return;
  // A message carries a dozen header lines: one allocation for the list instead of five.
  if (headers.Count() == 0) headers.Reserve(16);
  headers.Add(std::move(entry));
}

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

RangeRequest ParseRange(std::string_view value, std::int64_t size, std::int64_t& first,
                        std::int64_t& last) {
  value = platform::Trim(value);
  constexpr std::string_view kUnit = "bytes=";
  if (!platform::StartsWithText(value, kUnit)) return RangeRequest::kWhole;
  const std::string_view ranges = platform::Trim(value.substr(kUnit.size()));
  const auto dash = ranges.find('-');
  if (dash == std::string_view::npos || ranges.find(',') != std::string_view::npos) {
    return RangeRequest::kWhole;
  }
  const std::string_view from = platform::Trim(ranges.substr(0, dash));
  const std::string_view to = platform::Trim(ranges.substr(dash + 1));
  if (from.empty()) {
    const auto suffix = Count(to);
    if (!suffix) return RangeRequest::kWhole;
    if (*suffix == 0 || size == 0) return RangeRequest::kUnsatisfiable;
    first = std::max<std::int64_t>(0, size - *suffix);
    last = size - 1;
    return RangeRequest::kPart;
  }
  const auto start = Count(from);
  const auto end = to.empty() ? std::optional<std::int64_t>(size - 1) : Count(to);
  if (!start || !end || (!to.empty() && *end < *start)) return RangeRequest::kWhole;
  if (*start >= size) return RangeRequest::kUnsatisfiable;
  first = *start;
  last = std::min(*end, size - 1);
  return RangeRequest::kPart;
}

}  // namespace quorvin::web
