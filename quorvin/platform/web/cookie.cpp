#include "quorvin/platform/web/cookie.h"

#include <stdexcept>

namespace quorvin::web {
namespace {

// 1 January 10000: the first day that four year digits cannot write.
constexpr platform::TDateTime kEndOfDates = 2958466.0;

}  // namespace

std::string TCookie::GetHeaderValue() const {
  std::string out = Name + "=" + Value;
  if (!Path.empty()) out += "; path=" + Path;
  if (!Domain.empty()) out += "; domain=" + Domain;
  if (Expires > 0 && Expires < kEndOfDates) {
    out += "; expires=" + platform::FormatDateTime("ddd, dd mmm yyyy hh:nn:ss", Expires) + " GMT";
  }
  if (Secure) out += "; secure";
  return out;
}

TCookie& TCookieCollection::Add() {
  return *items_.emplace_back(std::make_unique<TCookie>());
}

void TCookieCollection::Delete(int index) {
  if (index < 0 || index >= Count())
    throw std::out_of_range("TCookieCollection::Delete: no cookie at that index");
  items_.erase(items_.begin() + index);
}

}  // namespace quorvin::web
