#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quorvin/platform/core/component.h"
#include "quorvin/platform/core/form.h"

namespace quorvin::platform {
namespace {

// Records destruction and notifications in a shared journal. Notifications name the component
// by address: a component being inserted or removed is only partly built (or already partly
// destroyed), so its own class's members cannot be read there.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string tag, std::vector<std::string>& journal)
      : TComponent(owner), tag_(std::move(tag)), journal_(journal) {
    SetName(tag_);
  }
  ~Probe() override { journal_.push_back("~" + tag_); }
  void Notification(TComponent* c, TOperation op) override {
    if (c->Name().empty() && op == TOperation::opInsert) return;
    journal_.push_back(tag_ + (op == TOperation::opInsert ? "+" : "-") + c->Name());
  }
  std::string tag_;
  std::vector<std::string>& journal_;
  TComponent* doomed_sibling = nullptr;
};

// Destroys a sibling from its own destructor, as a component that owns a peer may.
class SiblingKiller : public Probe {
 public:
  using Probe::Probe;
  ~SiblingKiller() override { delete doomed_sibling; }
};

TEST(Component, OwnerDestroysNewestFirstAndTellsTheOthers) {
  std::vector<std::string> journal;
  {
    TForm form(nullptr);
    Create<Probe>(form, "a", journal);
    Create<Probe>(form, "b", journal);
    Create<Probe>(form, "c", journal);
    EXPECT_EQ(form.ComponentCount(), 3);
    journal.clear();
  }
  EXPECT_EQ(journal, (std::vector<std::string>{"a-c", "b-c", "~c", "a-b", "~b", "~a"}));
}

TEST(Component, InsertIsAnnouncedToEarlierSiblings) {
  std::vector<std::string> journal;
  TForm form(nullptr);
  Create<Probe>(form, "a", journal);
  auto& b = Create<TComponent>(form);
  b.SetName("b");
  form.InsertComponent(&b);  // already there: no second announcement
  auto& loose = *new TComponent(nullptr);
  loose.SetName("c");
  form.InsertComponent(&loose);
  EXPECT_EQ(journal, (std::vector<std::string>{"a+c"}));
}

TEST(Component, EarlyDestructionLeavesTheListAndNotifies) {
  std::vector<std::string> journal;
  TForm form(nullptr);
  Create<Probe>(form, "a", journal);
  auto& b = Create<Probe>(form, "b", journal);
  journal.clear();
  delete &b;
  EXPECT_EQ(form.ComponentCount(), 1);
  EXPECT_EQ(journal, (std::vector<std::string>{"~b", "a-b"}));
}

TEST(Component, DestructorMayDestroyASibling) {
  std::vector<std::string> journal;
  {
    TForm form(nullptr);
    auto& victim = Create<Probe>(form, "victim", journal);
    auto& killer = Create<SiblingKiller>(form, "killer", journal);
    killer.doomed_sibling = &victim;
  }
  // The victim went once, by the killer's hand; the form did not delete it again.
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "~victim"), 1);
}

TEST(Component, DesignStateReachesComponentsPlacedLater) {
  TForm form(nullptr);
  form.SetDesigning(true);
  auto& c = Create<TComponent>(form);
  EXPECT_TRUE(c.IsDesigning());
  EXPECT_NE(form.FindComponent(""), &c);
}

}  // namespace
}  // namespace quorvin::platform
