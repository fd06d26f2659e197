#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorvin/platform/core/recycled.h"

namespace quorvin::platform {

// An ordered list of text lines. Lines of the form name=value answer name lookups, which ignore
// letter case and take the first matching line.
class TStringList {
 public:
  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& operator[](int index) const { return lines_.at(static_cast<std::size_t>(index)); }
  int Add(std::string line);
  void Clear() { lines_.clear(); }
  // Makes room for `count` lines at once, for a list about to receive many.
  void Reserve(int count) { lines_.reserve(static_cast<std::size_t>(count)); }

  // The index of the first line whose name is `name` (letter case ignored), or -1.
  int IndexOfName(std::string_view name) const;
  // The value of the first line named `name`, or the empty text.
  std::string_view Values(std::string_view name) const;
  // The name (text before the first "=") and value of line `index`.
  std::string_view Names(int index) const;
  std::string_view ValueFromIndex(int index) const;
  // All lines, each ended by CR LF.
  std::string Text() const;

  auto begin() const { return lines_.begin(); }
  auto end() const { return lines_.end(); }

 private:
  // A request's headers fill a list per request: its room is recycled.
  std::vector<std::string, RecyclingAllocator<std::string>> lines_;
};

}  // namespace quorvin::platform
