#include "quorvin/server/byte_block.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::server {
namespace {

TEST(ByteBlock, SizeZeroHoldsNothing) {
  ByteBlock block(0);
  EXPECT_EQ(block.size(), 0u);
  EXPECT_EQ(block.data(), nullptr);
  block.Grow(1, 0);
  EXPECT_NE(block.data(), nullptr);
  block.Release();
  EXPECT_EQ(block.size(), 0u);
  EXPECT_EQ(block.data(), nullptr);
}

TEST(ByteBlock, GrowingKeepsWhatItIsAskedToKeep) {
  ByteBlock block(1);
  EXPECT_EQ(block.size(), static_cast<std::size_t>(kReadSize + 1));  // the usual size at least
  std::memcpy(block.data(), "heading", 7);
  block.Grow(3 * kReadSize, 7);
  EXPECT_GE(block.size(), static_cast<std::size_t>(3 * kReadSize));
  EXPECT_EQ(std::string_view(block.data(), 7), "heading");
  block.Grow(10, 7);  // smaller than it is: nothing changes
  EXPECT_GE(block.size(), static_cast<std::size_t>(3 * kReadSize));
}

// A block of the usual size given back is the next one handed out on this thread: a connection
// after another reuses its buffer instead of allocating one.
TEST(ByteBlock, UsualBlockGivenBackIsHandedOutNext) {
  // Eight blocks held, the most the spare blocks keep, take whatever earlier tests left spare.
  std::vector<std::unique_ptr<ByteBlock>> held;
  for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<ByteBlock>(1));
  const char* given_back = nullptr;
  {
    ByteBlock first(kReadSize);
    given_back = first.data();
  }
  ByteBlock next(100);
  EXPECT_EQ(next.data(), given_back);
  ByteBlock another(100);
  EXPECT_NE(another.data(), given_back);
}

}  // namespace
}  // namespace quorvin::server
