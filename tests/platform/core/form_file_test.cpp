#include "quorvin/platform/core/form_file.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/timer.h"

#include "test_support.h"

namespace quorvin::platform {
namespace {

// One published property of each kind a form stores, an instance count that shows whether a
// failed load left anything alive, and a journal of the loading steps.
class TGadget : public TComponent {
 public:
  explicit TGadget(TComponent* owner) : TComponent(owner) { ++live; }

  ~TGadget() override { --live; }

  void ReadState(TReader& reader) override {
    TComponent::ReadState(reader);
    journal.push_back("read " + Name() + " count=" + std::to_string(Count));
  }

  void Loaded() override {
    TComponent::Loaded();
    journal.push_back("loaded " + Name() + " peer=" + (Peer ? Peer->Name() : "-"));
  }

  void Notification(TComponent* component, TOperation operation) override {
    if (operation == TOperation::opRemove && component == Peer) Peer = nullptr;
  }

  std::string Caption;
  int Count = 7;
  TDateTime Stamp = 0;
  TGadget* Peer = nullptr;
  TEvent<TNotifyEvent> OnFire;

  static inline int live = 0;
  static inline std::vector<std::string> journal;

  static const ClassInfo& Class() {
    static const ClassInfo& info = ClassBuilder<TGadget>("TGadget")
                                       .Text("Caption", &TGadget::Caption)
                                       .Integer("Count", &TGadget::Count, 7)
                                       .DateTime(
                                           "Stamp", [](const TGadget& g) { return g.Stamp; },
                                           [](TGadget& g, TDateTime v) { g.Stamp = v; })
                                       .Reference("Peer", &TGadget::Peer, "TGadget")
                                       .Event("OnFire", &TGadget::OnFire)
                                       .Register();
    return info;
  }
};

class FormFile : public ::testing::Test {
 protected:
  void SetUp() override {
    TGadget::Class();
    TGadget::live = 0;
    TGadget::journal.clear();
    handlers_.Add<TNotifyEvent>("Fire", [this](TComponent* sender) { fired_.push_back(sender); });
    handlers_.Add<void(int)>("TakesAnInt", [](int) {});
  }

  testing::TempDir dir_;
  THandlerRegistry handlers_;
  std::vector<TComponent*> fired_;
};

TEST_F(FormFile, WrittenAndReadBackWithItsStoredProperties) {
  const TDateTime stamp = EncodeDateTime(2026, 12, 8, 21, 1, 10, 250);
  const std::string path = (dir_.Path() / "main.json").string();
  {
    TForm form(nullptr);
    form.SetName("MainForm");
    auto& first = Create<TGadget>(form);
    first.SetName("First");
    first.Caption = "caf\xC3\xA9 \"quoted\"";
    first.Stamp = stamp;
    auto& second = Create<TGadget>(form);
    second.SetName("Second");
    second.Count = 42;
    first.Peer = &second;  // a reference to a component further down the form
    second.OnFire.name = "Fire";
    WriteFormFile(form, path);
  }
  ASSERT_EQ(TGadget::live, 0);

  std::string text;
  {
    TMemoryStream file;
    file.LoadFromFile(path);
    text = std::string(file.View());
  }
  const Json doc = Json::parse(text);
  EXPECT_EQ(doc["form"], "MainForm");
  EXPECT_EQ(doc["class"], "TForm");
  // Declaration order, defaults left out: Count is at its default 7 in First, Stamp is stored
  // even at 0 (no declared default), an empty reference and an unbound event are not stored.
  std::vector<std::string> keys;
  for (const auto& [key, value] : doc["components"][0]["properties"].items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Caption", "Stamp", "Peer"}));
  keys.clear();
  for (const auto& [key, value] : doc["components"][1]["properties"].items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Caption", "Count", "Stamp", "OnFire"}));

  FormOptions options;
  options.handlers = &handlers_;
  auto form = LoadFormFile(path, options);
  ASSERT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(form->Name(), "MainForm");
  EXPECT_TRUE(Is<TForm>(form.get()));
  auto* first = dynamic_cast<TGadget*>(form->Components(0));
  auto* second = dynamic_cast<TGadget*>(form->Components(1));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Name(), "First");
  EXPECT_EQ(first->Caption, "caf\xC3\xA9 \"quoted\"");
  EXPECT_EQ(first->Count, 7);
  EXPECT_EQ(first->Stamp, stamp);
  EXPECT_EQ(first->Peer, second);
  EXPECT_FALSE(first->OnFire);
  EXPECT_EQ(second->Count, 42);
  EXPECT_EQ(second->Peer, nullptr);
  ASSERT_TRUE(second->OnFire);
  second->OnFire(second);
  EXPECT_EQ(fired_, (std::vector<TComponent*>{second}));
  EXPECT_FALSE(first->IsLoading());
  EXPECT_FALSE(first->IsDesigning());

  // Every component is read before any is told it is loaded, so a reference to a component
  // further down is already set in Loaded.
  EXPECT_EQ(TGadget::journal,
            (std::vector<std::string>{"read First count=7", "read Second count=42",
                                      "loaded First peer=Second", "loaded Second peer=-"}));
  // Writing the loaded form gives the same text.
  EXPECT_EQ(WriteFormText(*form), text);
}

TEST_F(FormFile, LoadsIntoTheDesignStateWhenAsked) {
  FormOptions options;
  options.designing = true;
  auto form = LoadFormText(R"({"form": "F", "components": [{"class": "TGadget", "name": "G"}]})",
                           "inline", options);
  ASSERT_EQ(form->ComponentCount(), 1);
  EXPECT_TRUE(form->IsDesigning());
  EXPECT_TRUE(form->Components(0)->IsDesigning());
  // A property that the file does not store keeps the value the constructor gave it.
  EXPECT_EQ(dynamic_cast<TGadget&>(*form->Components(0)).Count, 7);
}

TEST_F(FormFile, MissingFileNamesThePath) {
  const std::string path = (dir_.Path() / "absent.json").string();
  try {
    (void)LoadFormFile(path);
    FAIL() << "loaded a missing file";
  } catch (const FormError& e) {
    EXPECT_EQ(e.File(), path);
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

struct BadForm {
  const char* name;
  std::string components;  // the "components" array of the form
  std::string component;   // the component and property the error must name
  std::string property;
  std::string fragment;  // part of the message that says what is wrong
};

class BadFormFile : public FormFile, public ::testing::WithParamInterface<BadForm> {};

TEST_P(BadFormFile, FailsWithOneErrorAndLeavesNothingAlive) {
  const BadForm& c = GetParam();
  const std::string text = R"({"form": "F", "components": [)" + c.components + "]}";
  FormOptions options;
  options.handlers = &handlers_;
  try {
    auto form = LoadFormText(text, "forms/bad.json", options);
    FAIL() << "loaded: " << WriteFormText(*form);
  } catch (const FormError& e) {
    const std::string what = e.what();
    EXPECT_EQ(e.File(), "forms/bad.json");
    EXPECT_EQ(e.Component(), c.component);
    EXPECT_EQ(e.Property(), c.property);
    EXPECT_NE(what.find("forms/bad.json"), std::string::npos) << what;
    EXPECT_NE(what.find("\"" + c.component + "\""), std::string::npos) << what;
    EXPECT_NE(what.find("\"" + c.property + "\""), std::string::npos) << what;
    EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
  }
  EXPECT_EQ(TGadget::live, 0);
}

// A valid component first, so that every failure also has something built to take down.
constexpr const char* kGood =
    R"({"class": "TGadget", "name": "Good", "properties": {"Count": 1}}, )";

std::string Gadget(const std::string& props) {
  return std::string(kGood) + R"({"class": "TGadget", "name": "Bad", "properties": {)" + props +
         "}}";
}

INSTANTIATE_TEST_SUITE_P(
    , BadFormFile,
    ::testing::Values(
        BadForm{"UnknownProperty", Gadget(R"("Colour": 1)"), "Bad", "Colour", "unknown property"},
        BadForm{"TextForInteger", Gadget(R"("Count": "seven")"), "Bad", "Count", "integer"},
        BadForm{"FractionForInteger", Gadget(R"("Count": 1.5)"), "Bad", "Count", "integer"},
        BadForm{"IntegerOutOfRange", Gadget(R"("Count": 4294967296)"), "Bad", "Count", "range"},
        BadForm{"NumberForText", Gadget(R"("Caption": 5)"), "Bad", "Caption", "text"},
        BadForm{"TextForDateTime", Gadget(R"("Stamp": "yesterday")"), "Bad", "Stamp", "date"},
        BadForm{"ReferenceToNoComponent", Gadget(R"("Peer": "Nobody")"), "Bad", "Peer", "Nobody"},
        BadForm{"ReferenceToTheWrongClass", Gadget(R"("Peer": "F")"), "Bad", "Peer", "TGadget"},
        BadForm{"UnregisteredHandler", Gadget(R"("OnFire": "Missing")"), "Bad", "OnFire",
                "Missing"},
        BadForm{"HandlerOfAnotherSignature", Gadget(R"("OnFire": "TakesAnInt")"), "Bad", "OnFire",
                "does not fit"},
        BadForm{"NumberForHandler", Gadget(R"("OnFire": 3)"), "Bad", "OnFire", "handler"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Failures that concern a whole component or the whole file name no property.
struct BadStructure {
  const char* name;
  std::string text;
  std::string component;
  std::string fragment;
};

class BadFormStructure : public FormFile, public ::testing::WithParamInterface<BadStructure> {};

TEST_P(BadFormStructure, FailsWithOneErrorAndLeavesNothingAlive) {
  const BadStructure& c = GetParam();
  try {
    auto form = LoadFormText(c.text, "forms/bad.json");
    FAIL() << "loaded: " << WriteFormText(*form);
  } catch (const FormError& e) {
    const std::string what = e.what();
    EXPECT_EQ(e.Component(), c.component);
    EXPECT_EQ(e.Property(), "");
    EXPECT_EQ(what.rfind("forms/bad.json", 0), 0u) << what;
    if (!c.component.empty()) {
      EXPECT_NE(what.find("\"" + c.component + "\""), std::string::npos) << what;
    }
    EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
  }
  EXPECT_EQ(TGadget::live, 0);
}

INSTANTIATE_TEST_SUITE_P(
    , BadFormStructure,
    ::testing::Values(BadStructure{"MalformedJson",
                                   std::string(R"({"form": "F", "components": [)") + kGood, "",
                                   "not a valid form file"},
                      BadStructure{"NotAnObject", "[1, 2]", "", "not a valid form file"},
                      BadStructure{"UnknownClass",
                                   std::string(R"({"form": "F", "components": [)") + kGood +
                                       R"({"class": "TNoSuchThing", "name": "X"}]})",
                                   "X", "TNoSuchThing"},
                      BadStructure{"UnknownFormClass", R"({"form": "F", "class": "TNoSuchForm"})",
                                   "F", "TNoSuchForm"},
                      BadStructure{"DuplicateName",
                                   std::string(R"({"form": "F", "components": [)") + kGood +
                                       R"({"class": "TGadget", "name": "good"}]})",
                                   "good", "duplicate"},
                      BadStructure{"PropertiesNotAnObject",
                                   std::string(R"({"form": "F", "components": [)") + kGood +
                                       R"({"class": "TGadget", "name": "G", "properties": [1]}]})",
                                   "G", "properties"}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace quorvin::platform
