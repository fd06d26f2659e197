#include "quorvin/platform/web/header_list.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::web {
namespace {

std::vector<std::string> Items(std::string_view list) {
  std::vector<std::string> out;
  ListItems items(list);
  for (std::string_view item; items.Next(item);) out.emplace_back(item);
  return out;
}

TEST(ListItems, SplitsAtCommasOutsideQuotesAndSkipsEmptyElements) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Items(""), V{});
  EXPECT_EQ(Items(" , ,\t"), V{});
  EXPECT_EQ(Items("keep-alive"), V{"keep-alive"});
  EXPECT_EQ(Items(" close ,Upgrade,, te "), (V{"close", "Upgrade", "te"}));
  EXPECT_EQ(Items(R"("a,b", W/"c" ,"d")"), (V{R"("a,b")", R"(W/"c")", R"("d")"}));
  EXPECT_EQ(Items(R"(x;p="1,2", y)"), (V{R"(x;p="1,2")", "y"}));
  // A quote that never closes keeps the rest as one element rather than inventing elements.
  EXPECT_EQ(Items(R"(a, "b, c)"), (V{"a", R"("b, c)"}));
}

struct WeightCase {
  std::string_view item;
  int weight;
};

TEST(ItemWeight, ReadsQValuesAndRefusesWhatIsNotOne) {
  for (const WeightCase& c : {WeightCase{"gzip", 1000}, WeightCase{"gzip;q=1", 1000},
                              WeightCase{"gzip; q=0.5", 500}, WeightCase{"gzip ;Q=0.125", 125},
                              WeightCase{"gzip;q=0", 0}, WeightCase{"gzip;q=0.000", 0},
                              WeightCase{"gzip;q=1.000", 1000}, WeightCase{"gzip;level=9;q=0.3", 300},
                              WeightCase{"gzip;q=1.5", -1}, WeightCase{"gzip;q=0.1234", -1},
                              WeightCase{"gzip;q=2", -1}, WeightCase{"gzip;q=", -1},
                              WeightCase{"gzip;q=abc", -1}, WeightCase{"gzip;q=-0", -1}}) {
    EXPECT_EQ(ItemWeight(c.item), c.weight) << c.item;
  }
  EXPECT_EQ(ItemName(" gzip ; q=0.5"), "gzip");
}

struct CodingCase {
  std::string_view accepted;
  bool gzip;
};

TEST(AcceptsCoding, OwnElementBeforeStarAndZeroRefuses) {
  for (const CodingCase& c : {
           CodingCase{"", false},
           CodingCase{"gzip", true},
           CodingCase{"GZIP, br", true},
           CodingCase{"br", false},
           CodingCase{"*", true},
           CodingCase{"gzip;q=0", false},
           CodingCase{"gzip;q=0.0, *", false},
           CodingCase{"*;q=0, gzip", true},   // named beats the star, wherever it stands
           CodingCase{"*;q=0", false},
           CodingCase{"br, *;q=0.1", true},
           CodingCase{"gzip;q=0.001", true},
           CodingCase{"gzip;q=nonsense", false},
           CodingCase{"x-gzip", false},
       }) {
    EXPECT_EQ(AcceptsCoding(c.accepted, "gzip"), c.gzip) << c.accepted;
  }
}

TEST(HasToken, MatchesWholeElementsIgnoringCaseAndParameters) {
  EXPECT_TRUE(HasToken("keep-alive, Close", "close"));
  EXPECT_TRUE(HasToken("gzip, chunked;x=1", "chunked"));
  EXPECT_FALSE(HasToken("closed, not-close", "close"));
  EXPECT_FALSE(HasToken("", "close"));
}

struct TagCase {
  std::string_view list;
  bool holds;
};

TEST(NoneMatchHolds, WeakComparisonOfEachTagAndStar) {
  constexpr std::string_view kCurrent = R"("5-abc")";
  for (const TagCase& c : {
           TagCase{R"("5-abc")", true},
           TagCase{R"(W/"5-abc")", true},
           TagCase{R"("old", "5-abc")", true},
           TagCase{"*", true},
           TagCase{R"("old")", false},
           TagCase{R"("5-abc)", false},        // not a tag
           TagCase{R"(5-abc)", false},
           TagCase{R"("5-ab,c", "x")", false}, // a comma inside a tag does not split it
           TagCase{"", false},
       }) {
    EXPECT_EQ(NoneMatchHolds(c.list, kCurrent), c.holds) << c.list;
  }
  EXPECT_TRUE(NoneMatchHolds(R"("a,b")", R"("a,b")"));
  EXPECT_FALSE(NoneMatchHolds(R"("x")", ""));  // a resource without a tag matches only "*"
  EXPECT_TRUE(NoneMatchHolds("*", ""));
}

TEST(ParseEntityTag, StrongWeakAndMalformed) {
  EntityTag tag;
  ASSERT_TRUE(ParseEntityTag(R"(W/"x")", tag));
  EXPECT_TRUE(tag.weak);
  EXPECT_EQ(tag.opaque, R"("x")");
  ASSERT_TRUE(ParseEntityTag(R"("")", tag));
  EXPECT_FALSE(tag.weak);
  for (std::string_view bad : {"", "x", R"(")", R"(w/"x")", R"("a"b")", R"(W/x)"}) {
    EXPECT_FALSE(ParseEntityTag(bad, tag)) << bad;
  }
}

}  // namespace
}  // namespace quorvin::web
