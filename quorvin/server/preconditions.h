#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

namespace quorvin::server {

// What a file answer depends on in the request (each a header's value; empty when not sent).
struct FileConditions {
  std::string_view if_modified_since;
  std::string_view range;  // empty asks for the whole file
  std::string_view if_none_match;
  std::string_view if_range;
};

// The version of the file an answer would send, as its validators name it.
struct FileVersion {
  std::int64_t size = 0;
  std::time_t modified = 0;  // the Last-Modified date, in whole seconds
  std::string_view etag;     // the entity tag, quotes included; empty when answers carry none
};

enum class FileOutcome {
  kFull,           // 200: the whole file
  kNotModified,    // 304: the client's copy is current
  kPartial,        // 206: the range asked for
  kUnsatisfiable,  // 416: a range that starts beyond the file
};

struct FileDecision {
  FileOutcome outcome = FileOutcome::kFull;
  std::int64_t first = 0;  // with kFull and kPartial, the bytes to send (inclusive)
  std::int64_t last = -1;
};

// Which answer the request's validators and range ask for, from the file's version alone: no
// file, clock or socket is read, so every combination can be tried in a table.
//  - With an entity tag, If-None-Match decides alone when it is sent (a date says less than a
//    tag); otherwise If-Modified-Since does. Either holding gives kNotModified, before any range.
//  - A range counts only while If-Range (when sent) names the current version: by its tag,
//    compared strongly, or by its exact date. A part of another version would corrupt the copy
//    it completes, so the whole file goes instead.
//  - One range ("bytes=a-b", "a-", "-n") gives kPartial, or kUnsatisfiable when it starts beyond
//    the file; several ranges or unreadable text ask for the whole file.
FileDecision DecideFileAnswer(const FileConditions& request, const FileVersion& file);

}  // namespace quorvin::server
