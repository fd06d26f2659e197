// The multipart/form-data reader alone, fed an arbitrary body cut into arbitrary pieces, with a
// fixed boundary or one read from a Content-Type at the front of the input; and the whole-form
// reader over the same body.
//
// Input: a flags byte, a count byte c (0-15), c piece lengths (1-256 each), then the body. Flags:
// bit 0 takes the boundary from the body's first line, a Content-Type read by BoundaryOf (the
// rest is the body; an input whose type has no usable boundary stops there), else the boundary is
// "QvB0undary"; bit 1 lowers the limits (3 parts, heads of 64 bytes and 2 lines); bit 2 also reads
// the body with ReadForm, keeping files beyond 16 bytes in files without a name.
//
// After every input: the reader hands out the same parts, result and reason whether the bytes
// come in the pieces or all at once; takes every byte until it is done or refuses; calls its
// handler in order (a part begins, its content, it ends) with no empty piece; no part's content
// holds the delimiter; no more content than the input and no more parts than the limit; a refusal
// says why; the file names sent become safe names; ReadForm reads the form or refuses it, its
// files as long as their streams, never more than the body; and the sanitizers see no fault.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/web/form_data.h"
#include "quorvin/platform/web/multipart.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using web::MultipartReader;
using Result = MultipartReader::Result;

// What the handler was given, checked as it comes.
class Recorder final : public MultipartReader::Handler {
 public:
  explicit Recorder(std::string_view delimiter) : delimiter_(delimiter) {}

  void PartBegins(const web::MultipartPart& part) override {
    Check(!open_, "a part began inside another");
    open_ = true;
    parts += part.name + "\x01" + (part.has_file_name ? part.file_name : "-") + "\x01" +
             part.content_type + "\x01";
    content_.clear();
    const std::string safe = web::SafeFileName(part.file_name);
    Check(safe.find_first_of("/\\") == std::string::npos, "a safe file name holds a slash", safe);
    Check(safe != "." && safe != ".." && safe.size() <= 255, "a safe file name is no name", safe);
    for (const char c : safe) {
      Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F,
            "a safe file name holds a control character", safe);
    }
  }

  void PartData(std::string_view bytes) override {
    Check(open_, "content outside a part");
    Check(!bytes.empty(), "an empty piece of content");
    parts += bytes;
    content_ += bytes;
    data += bytes.size();
  }

  void PartEnds() override {
    Check(open_, "a part ended that had not begun");
    Check(!Holds(content_, delimiter_), "a part's content holds the delimiter", content_);
    open_ = false;
    ++count;
    parts += "\x02";
  }

  std::string parts;
  std::size_t data = 0;
  std::size_t count = 0;

 private:
  std::string_view delimiter_;
  std::string content_;
  bool open_ = false;
};

struct Reading {
  Result result;
  std::string parts;
  std::string error;
};

Reading Read(std::string_view boundary, std::string_view body,
             const std::vector<std::size_t>& pieces, const web::MultipartLimits& limits) {
  const std::string delimiter = "\r\n--" + std::string(boundary);
  Recorder recorder(delimiter);
  MultipartReader reader(boundary, recorder, limits);
  Result result = Result::kNeedMore;
  std::size_t at = 0;
  std::size_t next = 0;
  while (result == Result::kNeedMore && at < body.size()) {
    const std::size_t n =
        next < pieces.size() ? std::min(pieces[next++], body.size() - at) : body.size() - at;
    std::size_t used = 0;
    result = reader.Feed(body.substr(at, n), used);
    Check(used <= n, "the reader took more bytes than it was given");
    if (result != Result::kBad) Check(used == n, "the reader left bytes untaken without refusing");
    at += used;
  }
  if (result == Result::kNeedMore) result = reader.Finish();
  if (result == Result::kDone) {
    std::size_t used = 0;
    Check(reader.Feed("more", used) == Result::kDone && used == 4,
          "bytes after the close were not ignored");
  }
  Check(recorder.data <= body.size(), "more content than input");
  Check(recorder.count <= limits.max_parts, "more parts than the limit");
  Check((result == Result::kBad) == !reader.Error().empty(),
        "a refusal without a reason, or a reason without one");
  return {result, recorder.parts, std::string(reader.Error())};
}

void ReadWholeForm(std::string_view content_type, std::string_view body,
                   const web::MultipartLimits& limits) {
  web::FormOptions options;
  options.multipart = limits;
  options.file_memory = 16;
  options.max_field_bytes = 64;
  platform::TMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  stream.SetPosition(0);
  web::FormData form;
  web::FormResult result;
  try {
    result = web::ReadForm(&stream, content_type, form, options);
  } catch (const std::exception& e) {
    Finding("ReadForm threw", e.what());
  }
  Check(result.status != web::FormStatus::kCannotStore, "a form's file could not be kept",
        result.error);
  if (!result.Ok()) {
    Check(form.fields.empty() && form.files.empty(), "a refused form left what it read");
    return;
  }
  std::size_t total = 0;
  for (const web::FormField& field : form.fields) {
    Check(field.value.size() <= options.max_field_bytes, "a field beyond its limit");
    total += field.value.size();
  }
  for (const web::FormFile& file : form.files) {
    Check(file.stream != nullptr && file.stream->Size() == file.size,
          "a file's size is not its stream's");
    Check(file.stream->Position() == 0, "a file's stream is not at its start");
    total += static_cast<std::size_t>(file.size);
  }
  Check(total <= body.size(), "a form holds more than its body");
}

}  // namespace

int MultipartOne(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  std::vector<std::size_t> pieces(in.Byte() & 15);
  for (std::size_t& piece : pieces) piece = std::size_t{in.Byte()} + 1;
  std::string_view body = in.Rest();

  std::string content_type = "multipart/form-data; boundary=QvB0undary";
  if ((flags & 1) != 0) {
    const std::size_t eol = body.find('\n');
    if (eol == std::string_view::npos) return 0;
    content_type = std::string(body.substr(0, eol));
    body.remove_prefix(eol + 1);
  }
  const std::optional<std::string> boundary = MultipartReader::BoundaryOf(content_type);
  if (!boundary) return 0;
  Check(!boundary->empty() && boundary->size() <= 70, "BoundaryOf gave a boundary it should refuse",
        *boundary);

  web::MultipartLimits limits;
  if ((flags & 2) != 0) limits = {.max_parts = 3, .max_part_head = 64, .max_part_headers = 2};
  const Reading cut = Read(*boundary, body, pieces, limits);
  const Reading whole = Read(*boundary, body, {}, limits);
  Check(cut.result == whole.result && cut.parts == whole.parts && cut.error == whole.error,
        "the parts differ with how the body is cut", cut.parts + "\n----\n" + whole.parts);

  if ((flags & 4) != 0) ReadWholeForm(content_type, body, limits);
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::MultipartOne(data, size);
}
#endif
