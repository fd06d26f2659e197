#include "quorvin/platform/core/recycled.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/platform/core/task.h"

namespace quorvin::platform {
namespace {

const bool kShelvesKeep = RecyclingKeepsBlocks();

struct PerConnection : Recycled {
  virtual ~PerConnection() = default;
  char bytes[200] = {};
};

struct Larger final : PerConnection {
  char more[300] = {};
};

TEST(Recycled, AGivenBlockServesTheNextObjectOfItsSize) {
  if (!kShelvesKeep) GTEST_SKIP() << "the shelves keep nothing under AddressSanitizer";
  auto* first = new PerConnection;
  void* const at = first;
  delete first;
  auto* second = new PerConnection;
  EXPECT_EQ(static_cast<void*>(second), at);
  delete second;

  // Deleted through its base, a derived object gives back a block of its own size.
  PerConnection* larger = new Larger;
  void* const larger_at = larger;
  delete larger;
  auto* again = new Larger;
  EXPECT_EQ(static_cast<void*>(again), larger_at);
  delete again;
}

TEST(Recycled, ShelvesStayBounded) {
  // A burst of connections leaves at most a bounded amount behind, whatever their number.
  std::vector<std::unique_ptr<PerConnection>> burst;
  for (int i = 0; i < 5000; ++i) burst.push_back(std::make_unique<PerConnection>());
  std::vector<std::shared_ptr<std::string>> shared;
  for (int i = 0; i < 5000; ++i) shared.push_back(MakeRecycledShared<std::string>(100, 'x'));
  burst.clear();
  shared.clear();
  EXPECT_LE(RecycledBytesKept(), 256u * 1024);
  if (kShelvesKeep) {
    EXPECT_GT(RecycledBlocksKept(), 0u);
  }

  // Blocks larger than any connection object are never kept.
  const std::size_t kept = RecycledBytesKept();
  GiveRecycled(TakeRecycled(64 * 1024), 64 * 1024);
  EXPECT_EQ(RecycledBytesKept(), kept);
}

TEST(Recycled, EachThreadKeepsItsOwnAndGivesThemBackAtItsEnd) {
  std::size_t kept_there = 0;
  std::thread([&kept_there] {
    std::vector<std::unique_ptr<PerConnection>> some;
    for (int i = 0; i < 10; ++i) some.push_back(std::make_unique<PerConnection>());
    some.clear();
    kept_there = RecycledBlocksKept();
  }).join();
  EXPECT_EQ(kept_there, kShelvesKeep ? 10u : 0u);
  // Under LeakSanitizer (asan builds) the blocks that thread kept would show as leaks here.
}

TEST(Recycled, AllocatorServesContainers) {
  std::vector<int, RecyclingAllocator<int>> numbers;
  for (int i = 0; i < 1000; ++i) numbers.push_back(i);
  EXPECT_EQ(numbers[999], 999);
  std::basic_string<char, std::char_traits<char>, RecyclingAllocator<char>> text(3000, 'a');
  text += "b";
  EXPECT_EQ(text.size(), 3001u);
}

// What a Task holds runs once and is destroyed once, wherever the task was moved to, inside
// the task or (too large) on the heap.
template <std::size_t kSize>
struct Counted {
  std::shared_ptr<int> runs;
  std::shared_ptr<int> alive;
  char padding[kSize] = {};
  void operator()() const { ++*runs; }
};

template <class Fn>
void CheckTask(const char* what) {
  SCOPED_TRACE(what);
  auto runs = std::make_shared<int>(0);
  auto alive = std::make_shared<int>(0);
  {
    Task task(Fn{runs, alive});
    EXPECT_EQ(alive.use_count(), 2);  // the temporary's copy is gone, the task's is there
    Task moved(std::move(task));
    EXPECT_FALSE(task);  // NOLINT: a moved-from task is empty
    std::vector<Task> queue;
    queue.push_back(std::move(moved));
    for (int i = 0; i < 20; ++i) queue.emplace_back([] {});  // moves the first as the queue grows
    queue.front()();
    EXPECT_EQ(*runs, 1);
    EXPECT_EQ(alive.use_count(), 2);
  }
  EXPECT_EQ(alive.use_count(), 1);
}

TEST(Task, RunsAndDestroysWhatItHoldsOnce) {
  CheckTask<Counted<8>>("inside");
  CheckTask<Counted<200>>("on the heap");
}

}  // namespace
}  // namespace quorvin::platform
