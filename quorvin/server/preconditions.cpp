#include "quorvin/server/preconditions.h"

#include <exception>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/web/http_date.h"
#include "quorvin/platform/web/header_list.h"
#include "quorvin/platform/web/http_text.h"

namespace quorvin::server {

namespace {

bool NotModifiedSince(std::string_view if_modified_since, std::time_t modified) {
  if (if_modified_since.empty()) return false;
  try {
    return modified <= platform::DateTimeToUnix(web::ParseDate(if_modified_since), false);
  } catch (const std::exception&) {
    return false;  // an unreadable date asks for nothing: the file is served
  }
}

// Whether a range may be sent: If-Range names the current version, by its entity tag (compared
// strongly) or by its exact modification date.
bool IfRangeHolds(std::string_view header, std::string_view etag, std::time_t modified) {
  header = platform::Trim(header);
  if (header.empty()) return true;
  if (header.front() == '"' || header.substr(0, 2) == "W/") return !etag.empty() && header == etag;
  try {
    return platform::DateTimeToUnix(web::ParseDate(header), false) == modified;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

FileDecision DecideFileAnswer(const FileConditions& request, const FileVersion& file) {
  const bool not_modified = !file.etag.empty() && !request.if_none_match.empty()
                                ? web::NoneMatchHolds(request.if_none_match, file.etag)
                                : NotModifiedSince(request.if_modified_since, file.modified);
  if (not_modified) return {FileOutcome::kNotModified, 0, -1};
  FileDecision decision{FileOutcome::kFull, 0, file.size - 1};
  const std::string_view asked =
      IfRangeHolds(request.if_range, file.etag, file.modified) ? request.range : std::string_view();
  switch (web::ParseRange(asked, file.size, decision.first, decision.last)) {
    case web::RangeRequest::kWhole:
      break;
    case web::RangeRequest::kPart:
      decision.outcome = FileOutcome::kPartial;
      break;
    case web::RangeRequest::kUnsatisfiable:
      return {FileOutcome::kUnsatisfiable, 0, -1};
  }
  return decision;
}

}  // namespace quorvin::server
