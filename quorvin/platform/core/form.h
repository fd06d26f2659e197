#pragma once

#include "quorvin/platform/core/component.h"

namespace quorvin::platform {

// A form: the component that owns the components a form file describes. A program's first form
// is its main form.
class TForm : public TComponent {
 public:
  explicit TForm(TComponent* owner) : TComponent(owner) {}
};

// Registers TComponent and TForm with the class registry (idempotent).
void RegisterCoreClasses();

}  // namespace quorvin::platform
