// The form-file reader, fed arbitrary text, with the core classes, the web dispatcher and a test
// component holding a property of every kind registered. No server or client component is
// registered: loading one would open a listener or a connection.
//
// Input: a flags byte (bit 0 loads in the design state), then the form text.
//
// Checked: a form either loads or fails with one FormError, and a failed load leaves no
// component behind; a loaded form writes a text that loads again and writes the same text; and
// the sanitizers see no fault.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/timer.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/platform/web/web_dispatcher.h"

#include "fuzz_site.h"

namespace quorvin::fuzz {
namespace {

using platform::ClassBuilder;
using platform::ClassInfo;
using platform::Json;
using platform::TComponent;

// A component with a published property of every kind; it counts its live instances.
class TFuzzGadget final : public TComponent {
 public:
  explicit TFuzzGadget(TComponent* owner) : TComponent(owner) { ++live; }

  ~TFuzzGadget() override { --live; }

  std::string Caption;
  std::int32_t Count = 7;
  platform::TDateTime Stamp = 0;
  TFuzzGadget* Peer = nullptr;
  platform::TEvent<platform::TNotifyEvent> OnFire;
  Json Items = Json::array();

  void Notification(TComponent* component, platform::TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == platform::TOperation::opRemove && component == Peer) Peer = nullptr;
  }

  static inline int live = 0;

  static const ClassInfo& Class() {
    static const ClassInfo& info =
        ClassBuilder<TFuzzGadget>("TFuzzGadget")
            .Text("Caption", &TFuzzGadget::Caption)
            .Integer("Count", &TFuzzGadget::Count, 7)
            .DateTime(
                "Stamp", [](const TFuzzGadget& g) { return g.Stamp; },
                [](TFuzzGadget& g, platform::TDateTime v) { g.Stamp = v; })
            .Reference("Peer", &TFuzzGadget::Peer, "TFuzzGadget")
            .Event("OnFire", &TFuzzGadget::OnFire)
            .Collection(
                "Items", [](const TFuzzGadget& g) { return g.Items; },
                [](TFuzzGadget& g, const Json& items, const platform::THandlerRegistry*) {
                  // Items are names: anything else is refused, as a real collection would.
                  for (const Json& item : items) {
                    if (!item.is_string()) throw platform::PropertyError("an item must be text");
                  }
                  g.Items = items;
                })
            .Register();
    return info;
  }
};

const platform::THandlerRegistry& Handlers() {
  static const platform::THandlerRegistry handlers = [] {
    platform::THandlerRegistry h;
    h.Add<platform::TNotifyEvent>("Fire", [](TComponent*) {});
    h.Add<web::THTTPMethodEvent>("Act",
                                 [](TComponent*, web::TWebRequest&, web::TWebResponse&, bool&) {});
    h.Add<void(int)>("TakesAnInt", [](int) {});
    return h;
  }();
  return handlers;
}

// Loads `text`; nullptr when the form file was refused as it should be, with one FormError.
std::unique_ptr<TComponent> Load(std::string_view text, bool designing) {
  try {
    return platform::LoadFormText(text, "fuzz", {.designing = designing, .handlers = &Handlers()});
  } catch (const platform::FormError&) {
    return nullptr;
  } catch (const std::exception& e) {
    Finding("a form file failed with an error other than FormError", e.what());
  }
}

}  // namespace

int FormFileOne(const std::uint8_t* data, std::size_t size) {
  platform::RegisterCoreClasses();
  web::TWebDispatcher::Class();
  TFuzzGadget::Class();
  InputReader in(data, size);
  const bool designing = (in.Byte() & 1) != 0;
  const std::string_view text = in.Rest();
  {
    std::unique_ptr<TComponent> form = Load(text, designing);
    if (form == nullptr) {
      Check(TFuzzGadget::live == 0, "a refused form left components behind", text);
    } else {
      std::string written;
      try {
        written = platform::WriteFormText(*form);
      } catch (const std::exception& e) {
        Finding("a loaded form cannot be written",
                std::string(e.what()) + "\n" + std::string(text));
      }
      form.reset();
      std::unique_ptr<TComponent> again = Load(written, designing);
      Check(again != nullptr, "a written form does not load again", written);
      const std::string rewritten = platform::WriteFormText(*again);
      Check(rewritten == written, "a form written twice differs", written + "\n----\n" + rewritten);
    }
  }
  Check(TFuzzGadget::live == 0, "components outlived their form");
  // Timers on the form leave cancelled waits on the loop; they are run off here, as the
  // program's loop would.
  net::Application::Instance().ProcessMessages();
  return 0;
}

}  // namespace quorvin::fuzz

#ifndef QUORVIN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvin::fuzz::FormFileOne(data, size);
}
#endif
