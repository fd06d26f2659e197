#include "quorvin/server/folder_listing.h"

#include <algorithm>

#include "quorvin/platform/core/datetime.h"
#include "quorvin/platform/web/http_decode.h"

namespace quorvin::server {

namespace {

std::string HtmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string FolderListing(std::string_view url_path, std::vector<host::FolderEntry> entries,
                          bool upload_form) {
  std::erase_if(entries, [](const host::FolderEntry& e) {
    return e.name.empty() || e.name.front() == '.' || e.info.kind == host::FileKind::kNone;
  });
  std::sort(entries.begin(), entries.end(), [](const host::FolderEntry& a, const host::FolderEntry& b) {
    const bool a_folder = a.info.kind == host::FileKind::kDirectory;
    const bool b_folder = b.info.kind == host::FileKind::kDirectory;
    return a_folder != b_folder ? a_folder : a.name < b.name;
  });
  const std::string title = "Index of " + HtmlEscaped(url_path);
  std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                     "</title></head>\n<body><h1>" + title + "</h1>\n<table>\n"
                     "<tr><th>Name</th><th>Size</th><th>Modified</th></tr>\n";
  if (url_path != "/") page += "<tr><td><a href=\"../\">../</a></td><td></td><td></td></tr>\n";
  for (const host::FolderEntry& e : entries) {
    const bool folder = e.info.kind == host::FileKind::kDirectory;
    const std::string suffix = folder ? "/" : "";
    // "./" keeps a name with a colon from reading as a scheme.
    page += "<tr><td><a href=\"./" + web::HTTPEncode(e.name) + suffix + "\">" + HtmlEscaped(e.name) + suffix +
            "</a></td><td>" + (folder ? std::string("-") : std::to_string(e.info.size)) + "</td><td>" +
            platform::FormatHttpDate(e.info.last_write) + "</td></tr>\n";
  }
  page += "</table>";
  if (upload_form) {
    // No action: a form posts to the page's own URL, which is the folder's.
    page +=
        "\n<form method=\"post\" enctype=\"multipart/form-data\">"
        "<input type=\"file\" name=\"files\" multiple required> "
        "<button type=\"submit\">Upload</button></form>\n";
  }
  page += "</body></html>\n";
  return page;
}

}  // namespace quorvin::server
