#include "quorvin/platform/core/string_list.h"

#include "quorvin/platform/core/text.h"

namespace quorvin::platform {

int TStringList::Add(std::string line) {
  lines_.push_back(std::move(line));
  return Count() - 1;
}

std::string_view TStringList::Names(int index) const {
  std::string_view line = (*this)[index];
  const auto eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view{} : line.substr(0, eq);
}

std::string_view TStringList::ValueFromIndex(int index) const {
  std::string_view line = (*this)[index];
  const auto eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  // A name never holds "=": the line's first "=" has to stand right after it.
  if (name.find('=') != std::string_view::npos) return -1;
  for (int i = 0; i < Count(); ++i) {
    std::string_view line = lines_[static_cast<std::size_t>(i)];
    if (line.size() > name.size() && line[name.size()] == '=' && SameText(line.substr(0, name.size()), name)) return i;
  }
  return -1;
}

std::string_view TStringList::Values(std::string_view name) const {
  const int i = IndexOfName(name);
  return i < 0 ? std::string_view{} : ValueFromIndex(i);
}

std::string TStringList::Text() const {
  std::string out;
  for (const auto& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace quorvin::platform
