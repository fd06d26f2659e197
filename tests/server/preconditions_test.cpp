#include "quorvin/server/preconditions.h"

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "quorvin/platform/core/datetime.h"

namespace quorvin::server {
namespace {

constexpr std::time_t kModified = 1765000000;
constexpr std::int64_t kSize = 1000;
const std::string kDate = platform::FormatHttpDate(kModified);
const std::string kEarlier = platform::FormatHttpDate(kModified - 1);
const std::string kLater = platform::FormatHttpDate(kModified + 60);
const std::string kTag = "\"3e8-187e8a2613ec4d15\"";

struct DecisionCase {
  const char* name;
  std::string if_modified_since = "", range = "", if_none_match = "", if_range = "";
  bool tagged = false;  // the answers carry entity tags (the file's is kTag)
  FileOutcome outcome = FileOutcome::kFull;
  std::int64_t first = 0, last = -1;  // with kFull and kPartial
  std::int64_t size = kSize;
};

constexpr auto kFull = FileOutcome::kFull;
constexpr auto kNotModified = FileOutcome::kNotModified;
constexpr auto kPartial = FileOutcome::kPartial;
constexpr auto kUnsatisfiable = FileOutcome::kUnsatisfiable;

class FileAnswer : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(FileAnswer, FollowsTheConditions) {
  const DecisionCase& c = GetParam();
  const FileConditions asked{c.if_modified_since, c.range, c.if_none_match, c.if_range};
  const FileDecision d =
      DecideFileAnswer(asked, {c.size, kModified, c.tagged ? kTag : std::string()});
  EXPECT_EQ(d.outcome, c.outcome);
  if (c.outcome == kFull || c.outcome == kPartial) {
    EXPECT_EQ(d.first, c.first);
    EXPECT_EQ(d.last, c.last);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , FileAnswer,
    ::testing::Values(
        DecisionCase{.name = "NothingAsked", .outcome = kFull, .first = 0, .last = 999},
        DecisionCase{.name = "EmptyFile", .outcome = kFull, .first = 0, .last = -1, .size = 0},
        // Ranges: one range of the file's bytes; anything else is the whole file.
        DecisionCase{
            .name = "Part", .range = "bytes=10-14", .outcome = kPartial, .first = 10, .last = 14},
        DecisionCase{.name = "Suffix",
                     .range = "bytes=-100",
                     .outcome = kPartial,
                     .first = 900,
                     .last = 999},
        DecisionCase{.name = "OpenEnded",
                     .range = "bytes=990-",
                     .outcome = kPartial,
                     .first = 990,
                     .last = 999},
        DecisionCase{.name = "EndBeyondTheFileIsCut",
                     .range = "bytes=990-5000",
                     .outcome = kPartial,
                     .first = 990,
                     .last = 999},
        DecisionCase{.name = "LastByte",
                     .range = "bytes=999-999",
                     .outcome = kPartial,
                     .first = 999,
                     .last = 999},
        DecisionCase{.name = "StartAtTheEndUnsatisfiable",
                     .range = "bytes=1000-",
                     .outcome = kUnsatisfiable},
        DecisionCase{.name = "AnyRangeOfAnEmptyFileUnsatisfiable",
                     .range = "bytes=-5",
                     .outcome = kUnsatisfiable,
                     .size = 0},
        DecisionCase{.name = "SeveralRangesAskForTheWhole",
                     .range = "bytes=0-1,5-6",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "OtherUnitAsksForTheWhole",
                     .range = "items=0-1",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "BackwardRangeAsksForTheWhole",
                     .range = "bytes=20-10",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        // If-Modified-Since, before any range.
        DecisionCase{
            .name = "NotModifiedSinceItsDate", .if_modified_since = kDate, .outcome = kNotModified},
        DecisionCase{.name = "NotModifiedSinceALaterDate",
                     .if_modified_since = kLater,
                     .outcome = kNotModified},
        DecisionCase{.name = "ModifiedSince",
                     .if_modified_since = kEarlier,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "UnreadableDateServesTheFile",
                     .if_modified_since = "yesterday",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "NotModifiedBeforeAnUnsatisfiableRange",
                     .if_modified_since = kLater,
                     .range = "bytes=1000-",
                     .outcome = kNotModified},
        // If-Range: the part of this version only.
        DecisionCase{.name = "IfRangeSameDateSendsThePart",
                     .range = "bytes=10-14",
                     .if_range = kDate,
                     .outcome = kPartial,
                     .first = 10,
                     .last = 14},
        DecisionCase{.name = "IfRangeOtherDateSendsTheWhole",
                     .range = "bytes=10-14",
                     .if_range = kEarlier,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "IfRangeUnreadableSendsTheWhole",
                     .range = "bytes=10-14",
                     .if_range = "soon",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "IfRangeTagWithoutTagsSendsTheWhole",
                     .range = "bytes=10-14",
                     .if_range = kTag,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "IfRangeOtherVersionKeepsAnUnsatisfiableRangeAway",
                     .range = "bytes=1000-",
                     .if_range = kEarlier,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        // Without entity tags If-None-Match is not read at all.
        DecisionCase{.name = "NoneMatchIgnoredWithoutTags",
                     .if_modified_since = kDate,
                     .if_none_match = "\"other\"",
                     .outcome = kNotModified},
        DecisionCase{.name = "NoneMatchStarIgnoredWithoutTags",
                     .if_none_match = "*",
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        // With entity tags.
        DecisionCase{
            .name = "NoneMatchTag", .if_none_match = kTag, .tagged = true, .outcome = kNotModified},
        DecisionCase{.name = "NoneMatchWeakInAList",
                     .if_none_match = "\"x\", W/" + kTag,
                     .tagged = true,
                     .outcome = kNotModified},
        DecisionCase{
            .name = "NoneMatchStar", .if_none_match = "*", .tagged = true, .outcome = kNotModified},
        DecisionCase{.name = "NoneMatchOtherTags",
                     .if_none_match = "\"x\", \"3e8-0\"",
                     .tagged = true,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        // If-None-Match decides alone: a current date does not make a changed tag current, nor
        // does an old date make a current tag stale.
        DecisionCase{.name = "NoneMatchOverModifiedSince",
                     .if_modified_since = kDate,
                     .if_none_match = "\"3e8-0\"",
                     .tagged = true,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "NoneMatchOverAnOldDate",
                     .if_modified_since = kEarlier,
                     .if_none_match = kTag,
                     .tagged = true,
                     .outcome = kNotModified},
        DecisionCase{.name = "ModifiedSinceWhenNoneMatchIsAbsent",
                     .if_modified_since = kDate,
                     .tagged = true,
                     .outcome = kNotModified},
        DecisionCase{.name = "IfRangeTagSendsThePart",
                     .range = "bytes=10-14",
                     .if_range = kTag,
                     .tagged = true,
                     .outcome = kPartial,
                     .first = 10,
                     .last = 14},
        DecisionCase{.name = "IfRangeWeakTagSendsTheWhole",
                     .range = "bytes=10-14",
                     .if_range = "W/" + kTag,
                     .tagged = true,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "IfRangeOtherTagSendsTheWhole",
                     .range = "bytes=10-14",
                     .if_range = "\"3e8-0\"",
                     .tagged = true,
                     .outcome = kFull,
                     .first = 0,
                     .last = 999},
        DecisionCase{.name = "IfRangeDateStillCountsWithTags",
                     .range = "bytes=10-14",
                     .if_range = kDate,
                     .tagged = true,
                     .outcome = kPartial,
                     .first = 10,
                     .last = 14}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace quorvin::server
