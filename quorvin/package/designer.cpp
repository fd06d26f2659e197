#include "quorvin/package/designer.h"

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/text.h"

namespace quorvin::package {

namespace {

bool IsIdentifier(std::string_view name) {
  const auto letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (name.empty() || !letter(name.front())) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

std::uint32_t ReadLE(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 4; i-- > 0;) v = (v << 8) | bytes[at + i];
  return v;
}

void PutLE(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::unique_ptr<platform::TForm> NewDesignForm(std::string name) {
  platform::RegisterCoreClasses();
  auto form = std::make_unique<platform::TForm>(nullptr);
  form->SetName(std::move(name));
  form->SetDesigning(true);
  return form;
}

std::string NewComponentName(const platform::TComponent& owner, std::string_view class_name) {
  std::string_view base = class_name;
  if (base.size() > 1 && (base.front() == 'T' || base.front() == 't')) base.remove_prefix(1);
  for (int n = 1;; ++n) {
    std::string candidate = std::string(base) + std::to_string(n);
    if (owner.FindComponent(candidate) == nullptr) return candidate;
  }
}

platform::TComponent& PlaceComponent(platform::TComponent& owner, std::string_view class_name,
                                     std::string_view name) {
  platform::RegisterCoreClasses();
  const platform::ClassInfo* info = platform::ClassRegistry::Instance().Find(class_name);
  if (info == nullptr) {
    std::string known;
    for (const std::string& n : platform::ClassRegistry::Instance().Names()) {
      const platform::ClassInfo* c = platform::ClassRegistry::Instance().Find(n);
      if (c == nullptr || c->create == nullptr) continue;  // not a class a form can hold
      known += (known.empty() ? "" : ", ") + n;
    }
    throw DesignError("unknown component class \"" + std::string(class_name) + "\" (the classes: " +
                      known + ")");
  }
  const std::string chosen = name.empty() ? NewComponentName(owner, info->name) : std::string(name);
  if (!IsIdentifier(chosen)) throw DesignError("\"" + chosen + "\" is not a component name");
  if (owner.FindComponent(chosen) != nullptr) {
    throw DesignError("the form already holds a component named \"" + chosen + "\"");
  }
  // The owner's list takes the component (and marks it designed) in its base constructor,
  // before the class's own constructor looks at the design state and at its siblings.
  platform::TComponent* component = info->create(&owner);
  component->SetName(chosen);
  return *component;
}

std::string BitmapFile(std::span<const std::uint8_t> dib) {
  constexpr std::uint32_t kFileHeader = 14;
  if (dib.size() < 40) throw std::invalid_argument("not a device-independent bitmap");
  // The pixels start after the header and the colour table; a table of 0 entries with 8 bits
  // per pixel or fewer means the full 2^bits entries.
  const std::uint32_t header = ReadLE(dib, 0);
  const std::uint32_t bits = dib[14] | (static_cast<std::uint32_t>(dib[15]) << 8);
  std::uint32_t colours = ReadLE(dib, 32);
  if (colours == 0 && bits <= 8) colours = 1u << bits;
  std::string out = "BM";
  PutLE(out, kFileHeader + static_cast<std::uint32_t>(dib.size()), 4);
  PutLE(out, 0, 4);  // two reserved words
  PutLE(out, kFileHeader + header + 4 * colours, 4);
  out.append(reinterpret_cast<const char*>(dib.data()), dib.size());
  return out;
}

}  // namespace quorvin::package
