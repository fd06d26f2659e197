#include "quorvin/platform/web/form_data.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "quorvin/platform/core/text.h"
#include "quorvin/platform/core/unnamed_file.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::web {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// What an encoded field may hold beyond its value's allowance: its name and "=".
constexpr std::size_t kNameAllowance = 8 * 1024;

std::string Bytes(std::size_t n) {
  return std::to_string(n) + " bytes";
}

// What a reading step found wrong; the first one stands.
class Outcome {
 public:
  bool Failed() const { return result_.status != FormStatus::kOk; }

  void Fail(FormStatus status, std::string why) {
    if (Failed()) return;
    result_.status = status;
    result_.error = std::move(why);
  }

  FormResult Take() { return std::move(result_); }

 private:
  FormResult result_;
};

// Counts the fields against the limits as they come.
class FieldCounter {
 public:
  FieldCounter(const FormOptions& options, Outcome& outcome)
      : options_(options), outcome_(outcome) {}

  // A field begins: false when there is no room for another.
  bool Begin(std::string_view name) {
    if (++count_ > options_.max_fields) {
      outcome_.Fail(FormStatus::kBad,
                    "the form has more than " + std::to_string(options_.max_fields) + " fields");
      return false;
    }
    return Add(name.size());
  }

  // `value_size` bytes of the current field's value, `added` of them new.
  bool Grow(std::size_t value_size, std::size_t added) {
    if (value_size > options_.max_field_bytes) {
      outcome_.Fail(FormStatus::kBad,
                    "a field's value is larger than " + Bytes(options_.max_field_bytes));
      return false;
    }
    return Add(added);
  }

 private:
  bool Add(std::size_t bytes) {
    total_ += bytes;
    if (total_ > options_.max_fields_total) {
      outcome_.Fail(FormStatus::kBad, "the form's fields are larger than " +
                                          Bytes(options_.max_fields_total) + " together");
      return false;
    }
    return true;
  }

  const FormOptions& options_;
  Outcome& outcome_;
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

// The parts of a multipart body into fields and files. Once something is wrong it takes
// nothing more; the reading loop stops at its next turn.
class FormCollector final : public MultipartReader::Handler {
 public:
  FormCollector(FormData& form, const FormOptions& options, Outcome& outcome)
      : form_(form), options_(options), outcome_(outcome), fields_(options, outcome) {}

  void PartBegins(const MultipartPart& part) override {
    if (outcome_.Failed()) return;
    in_file_ = part.has_file_name;
    if (!in_file_) {
      if (fields_.Begin(part.name)) form_.fields.push_back({part.name, {}});
      return;
    }
    if (form_.files.size() == options_.max_files) {
      outcome_.Fail(FormStatus::kBad,
                    "the form has more than " + std::to_string(options_.max_files) + " files");
      return;
    }
    FormFile& file = form_.files.emplace_back();
    file.name = part.name;
    file.file_name = SafeFileName(part.file_name);
    file.sent_file_name = part.file_name;
    file.content_type = part.content_type;
    file.stream = std::make_unique<platform::TMemoryStream>();
    in_memory_ = true;
  }

  void PartData(std::string_view bytes) override {
    if (outcome_.Failed()) return;
    if (!in_file_) {
      std::string& value = form_.fields.back().value;
      if (fields_.Grow(value.size() + bytes.size(), bytes.size())) value += bytes;
      return;
    }
    const auto n = static_cast<std::int64_t>(bytes.size());
    files_total_ += n;
    if (files_total_ > options_.max_files_total) {
      outcome_.Fail(FormStatus::kBad, "the form's files are larger than " +
                                          std::to_string(options_.max_files_total) +
                                          " bytes together");
      return;
    }
    FormFile& file = form_.files.back();
    try {
      if (in_memory_ && memory_ + n > options_.file_memory) MoveToFile(file);
      file.stream->WriteBuffer(bytes.data(), n);
      if (in_memory_) memory_ += n;
    } catch (const std::exception& e) {
      outcome_.Fail(FormStatus::kCannotStore,
                    std::string("cannot keep a file of the form: ") + e.what());
    }
  }

  void PartEnds() override {
    if (outcome_.Failed() || !in_file_) return;
    FormFile& file = form_.files.back();
    file.size = file.stream->Size();
    file.stream->SetPosition(0);
  }

 private:
  // The file so far, and the rest of it to come, go to a file without a name.
  void MoveToFile(FormFile& file) {
    std::unique_ptr<platform::THandleStream> spool =
        platform::OpenUnnamedFile(options_.spool_folder);
    if (!spool) {
      throw std::runtime_error("the folder " +
                               (options_.spool_folder.empty() ? std::string("for temporary files")
                                                              : options_.spool_folder) +
                               " refuses: " + std::strerror(errno));
    }
    auto& held = static_cast<platform::TMemoryStream&>(*file.stream);
    const std::string_view bytes = held.View();
    spool->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    memory_ -= static_cast<std::int64_t>(bytes.size());
    file.stream = std::move(spool);
    in_memory_ = false;
  }

  FormData& form_;
  const FormOptions& options_;
  Outcome& outcome_;
  FieldCounter fields_;
  bool in_file_ = false;
  bool in_memory_ = false;
  std::int64_t memory_ = 0;  // bytes of the files held in memory
  std::int64_t files_total_ = 0;
};

// Reads `body` to its end in pieces, handing each to `take`, which says whether to go on.
template <class Take>
void ReadPieces(platform::TStream& body, Outcome& outcome, Take take) {
  std::string piece(kReadSize, '\0');
  try {
    for (;;) {
      const std::int64_t n = body.Read(piece.data(), static_cast<std::int64_t>(piece.size()));
      if (!take(std::string_view(piece.data(), n > 0 ? static_cast<std::size_t>(n) : 0))) return;
      if (n <= 0) return;
    }
  } catch (const std::exception& e) {
    outcome.Fail(FormStatus::kCannotStore, std::string("cannot read the body: ") + e.what());
  }
}

void ReadMultipart(platform::TStream& body, std::string_view boundary, FormData& form,
                   const FormOptions& options, Outcome& outcome) {
  FormCollector collector(form, options, outcome);
  MultipartReader reader(boundary, collector, options.multipart);
  ReadPieces(body, outcome, [&](std::string_view piece) {
    // An empty piece is the end of the body.
    MultipartReader::Result result = MultipartReader::Result::kNeedMore;
    if (piece.empty()) {
      result = reader.Finish();
    } else {
      std::size_t used = 0;
      result = reader.Feed(piece, used);
    }
    if (result == MultipartReader::Result::kBad) {
      outcome.Fail(FormStatus::kBad, std::string(reader.Error()));
    }
    // After the closing boundary nothing more is read.
    return result == MultipartReader::Result::kNeedMore && !outcome.Failed();
  });
}

// "a=1&b=x+y", read as it comes: one field at a time is held, in its encoded form, which is
// at most three times as long as its value (an escape for each byte) and a name.
void ReadUrlEncoded(platform::TStream& body, FormData& form, const FormOptions& options,
                    Outcome& outcome) {
  FieldCounter fields(options, outcome);
  const std::size_t max_encoded = 3 * (options.max_field_bytes + kNameAllowance);
  std::string encoded;
  const auto field_ends = [&] {
    if (encoded.empty()) return true;  // "a=1&&b=2": nothing between the two
    const std::size_t eq = encoded.find('=');
    std::string name = HTTPDecodeField(std::string_view(encoded).substr(0, eq));
    std::string value = eq == std::string::npos
                            ? std::string()
                            : HTTPDecodeField(std::string_view(encoded).substr(eq + 1));
    encoded.clear();
    if (!fields.Begin(name) || !fields.Grow(value.size(), value.size())) return false;
    form.fields.push_back({std::move(name), std::move(value)});
    return true;
  };
  ReadPieces(body, outcome, [&](std::string_view piece) {
    if (piece.empty()) return field_ends();
    while (!piece.empty()) {
      const std::size_t amp = piece.find('&');
      encoded += piece.substr(0, amp);
      if (encoded.size() > max_encoded) {
        outcome.Fail(FormStatus::kBad,
                     "a field's value is larger than " + Bytes(options.max_field_bytes));
        return false;
      }
      if (amp == std::string_view::npos) break;
      if (!field_ends()) return false;
      piece.remove_prefix(amp + 1);
    }
    return true;
  });
}

}  // namespace

std::string_view FormData::Field(std::string_view name) const {
  for (const FormField& field : fields) {
    if (field.name == name) return field.value;
  }
  return {};
}

bool FormData::HasField(std::string_view name) const {
  for (const FormField& field : fields) {
    if (field.name == name) return true;
  }
  return false;
}

std::vector<std::string_view> FormData::FieldValues(std::string_view name) const {
  std::vector<std::string_view> values;
  for (const FormField& field : fields) {
    if (field.name == name) values.emplace_back(field.value);
  }
  return values;
}

const FormFile* FormData::File(std::string_view name) const {
  for (const FormFile& file : files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

FormResult ReadForm(platform::TStream* body, std::string_view content_type, FormData& form,
                    const FormOptions& options) {
  form = FormData();
  Outcome outcome;
  const std::string_view media = platform::Trim(content_type.substr(0, content_type.find(';')));
  if (platform::SameText(media, "multipart/form-data")) {
    const std::optional<std::string> boundary = MultipartReader::BoundaryOf(content_type);
    if (!boundary) {
      outcome.Fail(FormStatus::kBad, "the multipart/form-data type has no usable boundary");
    } else if (body == nullptr) {
      outcome.Fail(FormStatus::kBad, "the body has no boundary line");
    } else {
      ReadMultipart(*body, *boundary, form, options, outcome);
    }
  } else if (platform::SameText(media, "application/x-www-form-urlencoded") && body != nullptr) {
    ReadUrlEncoded(*body, form, options, outcome);
  }
  // A body of another type is no form: nothing to read.
  if (outcome.Failed()) form = FormData();
  return outcome.Take();
}

}  // namespace quorvin::web
