#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/web/multipart.h"

// An HTML form sent as a request body, read whole for a web action: its fields by name and the
// files it carries, each with a stream of its bytes.
namespace quorvin::web {

// What ReadForm takes of a form, and where it keeps the files.
struct FormOptions {
  MultipartLimits multipart;                             // parts and part heads
  std::size_t max_fields = 1000;                         // fields in one form
  std::size_t max_field_bytes = 1024 * 1024;             // one field's value
  std::size_t max_fields_total = 8 * 1024 * 1024;        // all fields' names and values together
  std::size_t max_files = 100;                           // files in one form
  std::int64_t max_files_total = std::int64_t{1} << 30;  // all files' bytes together
  // The most of the files' bytes held in memory together; a file that would go beyond waits in
  // a file without a name in spool_folder ("" for $TMPDIR, else /tmp), gone with its stream.
  std::int64_t file_memory = 64 * 1024;
  std::string spool_folder;
};

struct FormField {
  std::string name;
  std::string value;
};

// A file sent in a form (a part with a file name).
struct FormFile {
  std::string name;            // the form field's name
  std::string file_name;       // SafeFileName of the name sent: one name in a folder, "" for none
  std::string sent_file_name;  // the name as the client sent it: to show, never to open
  std::string content_type;    // as sent; "" when none
  std::int64_t size = 0;
  // Its bytes from position 0: in memory, or in a file without a name that goes with the stream.
  std::unique_ptr<platform::TStream> stream;
};

// The fields and files of a form, in the order they were sent. A file input left empty arrives
// as a file of size 0 with no file name. Names compare exactly, letter case included, as a
// form's own names do.
struct FormData {
  std::vector<FormField> fields;
  std::vector<FormFile> files;

  // The value of the first field of that name; "" when there is none.
  std::string_view Field(std::string_view name) const;
  bool HasField(std::string_view name) const;
  // Every value sent under that name (a select that takes several, checkboxes).
  std::vector<std::string_view> FieldValues(std::string_view name) const;
  // The first file sent under that name, or null.
  const FormFile* File(std::string_view name) const;
};

enum class FormStatus {
  kOk,          // read; a body of another type, or none, is an empty form
  kBad,         // malformed or beyond the limits: the client's fault
  kCannotStore  // a file could not be kept (the folder refused or is full): the server's
};

struct FormResult {
  FormStatus status = FormStatus::kOk;
  std::string error;  // why, in words, when not kOk

  bool Ok() const { return status == FormStatus::kOk; }
};

// Reads `body` (from its position to its end; null for none) as a form of `content_type`:
// application/x-www-form-urlencoded or multipart/form-data. On kOk `form` holds what was sent;
// otherwise it is left empty. Never throws on what the client sent, and holds no more memory
// than the options allow.
FormResult ReadForm(platform::TStream* body, std::string_view content_type, FormData& form,
                    const FormOptions& options = {});

}  // namespace quorvin::web
