#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/events.h"

// Form files: a JSON document that names the form and, in order, each component it owns with
// its class, name and stored properties:
//
//   {"form": "MainForm", "class": "TForm",
//    "components": [
//      {"class": "TWebDispatcher", "name": "Web", "properties": {...}},
//      {"class": "TSvrModule", "name": "Server", "properties": {"ServerPort": 8080,
//                                                              "Dispatcher": "Web"}}]}
//
// Text properties are JSON strings, integers JSON integers, date-times JSON numbers (days since
// 30 December 1899), references the name of a component of the same form, events the name of
// a handler that the program registered.
namespace quorvin::platform {

// A form file that cannot be loaded: says which file, component and property.
class FormError : public std::runtime_error {
 public:
  FormError(std::string file, std::string component, std::string property, const std::string& what);
  const std::string& File() const { return file_; }
  const std::string& Component() const { return component_; }
  const std::string& Property() const { return property_; }

 private:
  std::string file_, component_, property_;
};

// Reads the stored properties of the component being loaded (TComponent::ReadState calls it).
class TReader {
 public:
  TReader(std::string source, TComponent& root, const THandlerRegistry* handlers)
      : source_(std::move(source)), root_(root), handlers_(handlers) {}

  void ReadProperties(TComponent& component);
  const std::string& Source() const { return source_; }
  TComponent& Root() const { return root_; }

  // The stored properties of the next component to read (set by the loader).
  void SetProperties(const Json* properties) { properties_ = properties; }

 private:
  PropValue Convert(const PropInfo& prop, const Json& value) const;

  std::string source_;
  TComponent& root_;
  const THandlerRegistry* handlers_;
  const Json* properties_ = nullptr;
};

struct FormOptions {
  bool designing = false;  // load into the design state, as the designer does
  const THandlerRegistry* handlers = nullptr;
};

// Builds the form: creates the root and each component, reads each one's stored properties
// (ReadState), then calls Loaded on each. On any failure everything built is destroyed and a
// FormError is raised. `source` names the text in error messages.
[[nodiscard]] std::unique_ptr<TComponent> LoadFormText(std::string_view text, const std::string& source,
                                         const FormOptions& options = {});
[[nodiscard]] std::unique_ptr<TComponent> LoadFormFile(const std::string& path, const FormOptions& options = {});

// The form file text of `root`: every published property of each component it owns, leaving
// out those equal to their declared default, references with no target and unbound events.
std::string WriteFormText(const TComponent& root);
void WriteFormFile(const TComponent& root, const std::string& path);

}  // namespace quorvin::platform
