#pragma once

#include <cstddef>
#include <string_view>

#include "quorvin/platform/web/later_answer.h"

namespace quorvin::server {

// The program's hold on a connection's later answer. The program may keep it after the
// connection has gone: the connection detaches it as it ends, and from then on every
// operation reports that the answer is no longer wanted.
class LaterAnswerLink final : public web::TLaterAnswer {
 public:
  // What the connection does for the link.
  class Sender {
   public:
    virtual bool CompleteLater(const Fill& fill) = 0;
    virtual bool BeginLater(const Fill& fill) = 0;
    virtual bool WriteLater(std::string_view bytes) = 0;
    virtual void EndLater() = 0;
    virtual void CancelLater() = 0;
    virtual std::size_t QueuedLater() const = 0;

   protected:
    ~Sender() = default;
  };

  explicit LaterAnswerLink(Sender& owner) : owner_(&owner) {}

  bool Open() const override { return owner_ != nullptr; }
  bool Complete(const Fill& fill) override { return owner_ != nullptr && owner_->CompleteLater(fill); }
  bool Begin(const Fill& fill) override { return owner_ != nullptr && owner_->BeginLater(fill); }
  bool Write(std::string_view bytes) override { return owner_ != nullptr && owner_->WriteLater(bytes); }
  void End() override {
    if (owner_ != nullptr) owner_->EndLater();
  }
  void Cancel() override {
    if (owner_ != nullptr) owner_->CancelLater();
  }
  std::size_t Queued() const override { return owner_ != nullptr ? owner_->QueuedLater() : 0; }

  // The connection is done with the answer. `gone`: before the program was, which OnGone
  // tells it (once; the link may be released by the program inside).
  void Detach(bool gone) {
    owner_ = nullptr;
    if (!gone || !OnGone) return;
    const auto told = std::move(OnGone);
    OnGone = nullptr;
    told();
  }

  // Everything queued has left, after a write that said to wait.
  void Drained() {
    if (owner_ == nullptr || !OnDrained) return;
    const auto drained = OnDrained;
    drained();
  }

 private:
  Sender* owner_;
};

}  // namespace quorvin::server
