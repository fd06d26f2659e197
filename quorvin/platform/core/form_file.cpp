#include "quorvin/platform/core/form_file.h"

#include <cerrno>
#include <cstring>

#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/text.h"

namespace quorvin::platform {

// What a program that forgot to register its classes needs to read.
constexpr const char* kRegisterHint =
    " (a class is known once its Class() has been called; quorvin::package::Register() registers all"
    " of the package's)";
namespace {

std::string Describe(const std::string& file, const std::string& component, const std::string& property,
                     const std::string& what) {
  std::string out = file;
  if (!component.empty()) out += ": component \"" + component + "\"";
  if (!property.empty()) out += ", property \"" + property + "\"";
  return out + ": " + what;
}

const char* KindName(PropKind kind) {
  switch (kind) {
    case PropKind::kText: return "text";
    case PropKind::kInteger: return "an integer";
    case PropKind::kDateTime: return "a date-time number";
    case PropKind::kComponent: return "a component name";
    case PropKind::kEvent: return "a handler name";
    case PropKind::kCollection: return "an array";
  }
  return "?";
}

}  // namespace

FormError::FormError(std::string file, std::string component, std::string property, const std::string& what)
    : std::runtime_error(Describe(file, component, property, what)),
      file_(std::move(file)),
      component_(std::move(component)),
      property_(std::move(property)) {}

PropValue TReader::Convert(const PropInfo& prop, const Json& value) const {
  const auto wrong = [&] { return PropertyError(std::string("expected ") + KindName(prop.kind)); };
  switch (prop.kind) {
    case PropKind::kText:
      if (!value.is_string()) throw wrong();
      return value.get<std::string>();
    case PropKind::kInteger: {
      if (!value.is_number_integer()) throw wrong();
      // The parser keeps every non-negative number unsigned; one above the signed range must not
      // be read back as a negative one.
      constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
      constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
      const bool fits = value.is_number_unsigned()
                            ? value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kMax)
                            : value.get<std::int64_t>() >= kMin && value.get<std::int64_t>() <= kMax;
      if (!fits) throw PropertyError("integer out of range");
      return value.get<std::int64_t>();
    }
    case PropKind::kDateTime:
      if (!value.is_number()) throw wrong();
      return value.get<double>();
    case PropKind::kComponent: {
      if (value.is_null()) return static_cast<TComponent*>(nullptr);
      if (!value.is_string()) throw wrong();
      const auto name = value.get<std::string>();
      TComponent* target = SameText(name, root_.Name()) ? &root_ : root_.FindComponent(name);
      if (target == nullptr) throw PropertyError("no component named \"" + name + "\"");
      return target;
    }
    case PropKind::kEvent:
      if (!value.is_string()) throw wrong();
      return value.get<std::string>();
    case PropKind::kCollection:
      if (!value.is_array()) throw wrong();
      return value;
  }
  throw wrong();
}

void TReader::ReadProperties(TComponent& component) {
  if (properties_ == nullptr) return;
  const ClassInfo* info = component.ClassType();
  for (const auto& [name, value] : properties_->items()) {
    const PropInfo* prop = info != nullptr ? info->FindProperty(name) : nullptr;
    if (prop == nullptr) {
      throw FormError(source_, component.Name(), name,
                      "unknown property of " + (info ? info->name : std::string("TComponent")));
    }
    try {
      prop->set(component, Convert(*prop, value), handlers_);
    } catch (const FormError&) {
      throw;
    } catch (const std::exception& e) {
      throw FormError(source_, component.Name(), name, e.what());
    }
  }
}

std::unique_ptr<TComponent> LoadFormText(std::string_view text, const std::string& source,
                                         const FormOptions& options) {
  RegisterCoreClasses();
  Json doc;
  try {
    doc = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    throw FormError(source, "", "", std::string("not a valid form file: ") + e.what());
  }
  if (!doc.is_object()) throw FormError(source, "", "", "not a valid form file: expected an object");
  const auto field = [&](const Json& obj, const char* key, const std::string& component) -> std::string {
    auto it = obj.find(key);
    if (it == obj.end()) return "";
    if (!it->is_string()) throw FormError(source, component, "", std::string("\"") + key + "\" must be text");
    return it->get<std::string>();
  };
  const std::string form_name = field(doc, "form", "");
  std::string root_class = field(doc, "class", form_name);
  if (root_class.empty()) root_class = "TForm";
  const ClassInfo* root_info = ClassRegistry::Instance().Find(root_class);
  if (root_info == nullptr) throw FormError(source, form_name, "", "unknown class \"" + root_class + "\"" + kRegisterHint);

  std::unique_ptr<TComponent> root(root_info->create(nullptr));
  root->SetName(form_name);
  if (options.designing) root->SetDesigning(true);
  root->SetLoading(true);

  const Json empty = Json::array();
  auto comps_it = doc.find("components");
  const Json& comps = comps_it == doc.end() ? empty : *comps_it;
  if (!comps.is_array()) throw FormError(source, form_name, "", "\"components\" must be an array");

  // First every component is made, so that references may name components further down.
  std::vector<std::pair<TComponent*, const Json*>> made;
  std::set<std::string> names;
  for (const Json& entry : comps) {
    if (!entry.is_object()) throw FormError(source, "", "", "each component must be an object");
    const std::string name = field(entry, "name", "");
    const std::string cls = field(entry, "class", name);
    if (name.empty()) throw FormError(source, "", "", "a component of class \"" + cls + "\" has no name");
    if (!names.insert(LowerCase(name)).second) throw FormError(source, name, "", "duplicate component name");
    const ClassInfo* info = ClassRegistry::Instance().Find(cls);
    if (info == nullptr) throw FormError(source, name, "", "unknown class \"" + cls + "\"" + kRegisterHint);
    auto props = entry.find("properties");
    if (props != entry.end() && !props->is_object()) {
      throw FormError(source, name, "", "\"properties\" must be an object");
    }
    TComponent* c = info->create(root.get());
    c->SetName(name);
    c->SetLoading(true);
    made.emplace_back(c, props == entry.end() ? nullptr : &*props);
  }

  TReader reader(source, *root, options.handlers);
  auto it_root_props = doc.find("properties");
  reader.SetProperties(it_root_props == doc.end() ? nullptr : &*it_root_props);
  // A component's own ReadState may fail with any error; it is reported as the form's error,
  // naming the component.
  const auto read_state = [&](TComponent& component) {
    try {
      component.ReadState(reader);
    } catch (const FormError&) {
      throw;
    } catch (const std::exception& e) {
      throw FormError(source, component.Name(), "", e.what());
    }
  };
  read_state(*root);
  for (auto& [component, props] : made) {
    reader.SetProperties(props);
    read_state(*component);
  }
  for (auto& [component, props] : made) component->Loaded();
  root->Loaded();
  return root;
}

std::unique_ptr<TComponent> LoadFormFile(const std::string& path, const FormOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormError(path, "", "", std::string("cannot open the form file: ") + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return LoadFormText(text.str(), path, options);
}

namespace {

Json StoredProperties(const TComponent& c) {
  Json props = Json::object();
  const ClassInfo* info = c.ClassType();
  if (info == nullptr) return props;
  for (const PropInfo& prop : info->properties) {
    const PropValue v = prop.get(c);
    if (prop.default_value && *prop.default_value == v) continue;
    switch (prop.kind) {
      case PropKind::kText:
      case PropKind::kEvent: props[prop.name] = std::get<std::string>(v); break;
      case PropKind::kInteger: props[prop.name] = std::get<std::int64_t>(v); break;
      case PropKind::kDateTime: props[prop.name] = std::get<TDateTime>(v); break;
      case PropKind::kComponent:
        if (TComponent* target = std::get<TComponent*>(v)) props[prop.name] = target->Name();
        break;
      case PropKind::kCollection: props[prop.name] = std::get<Json>(v); break;
    }
  }
  return props;
}

}  // namespace

std::string WriteFormText(const TComponent& root) {
  Json doc = Json::object();
  doc["form"] = root.Name();
  doc["class"] = root.ClassName();
  Json root_props = StoredProperties(root);
  if (!root_props.empty()) doc["properties"] = std::move(root_props);
  Json comps = Json::array();
  for (int i = 0; i < root.ComponentCount(); ++i) {
    const TComponent* c = root.Components(i);
    Json entry = Json::object();
    entry["class"] = c->ClassName();
    entry["name"] = c->Name();
    Json props = StoredProperties(*c);
    if (!props.empty()) entry["properties"] = std::move(props);
    comps.push_back(std::move(entry));
  }
  doc["components"] = std::move(comps);
  return doc.dump(2) + "\n";
}

void WriteFormFile(const TComponent& root, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << WriteFormText(root);
  out.close();
  if (!out) throw std::runtime_error("Cannot write the form file \"" + path + "\"");
}

}  // namespace quorvin::platform
