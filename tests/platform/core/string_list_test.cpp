#include "quorvin/platform/core/string_list.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvin::platform {
namespace {

struct Lookup {
  const char* name;
  std::string key;
  int index;
  std::string value;
};

class NameValueLookup : public ::testing::TestWithParam<Lookup> {
 protected:
  // Shaped like the header lists the readers keep: lower-cased names, repeated headers, values
  // that hold "=" themselves.
  NameValueLookup() {
    for (const char* line : {"host=example.org", "content-type=text/html", "Content-Type=second",
                             "empty=", "novalue", "cookie=a=b; c=d", " spaced =x"}) {
      list_.Add(line);
    }
  }

  TStringList list_;
};

TEST_P(NameValueLookup, FindsTheFirstLineOfThatNameIgnoringCase) {
  const Lookup& c = GetParam();
  EXPECT_EQ(list_.IndexOfName(c.key), c.index);
  EXPECT_EQ(list_.Values(c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(, NameValueLookup,
                         ::testing::Values(Lookup{"SameCase", "host", 0, "example.org"},
                                           Lookup{"OtherCase", "HOST", 0, "example.org"},
                                           Lookup{"FirstOfTwo", "CONTENT-TYPE", 1, "text/html"},
                                           Lookup{"EmptyValue", "empty", 3, ""},
                                           Lookup{"LineWithoutEquals", "novalue", -1, ""},
                                           Lookup{"ValueHoldsEquals", "cookie", 5, "a=b; c=d"},
                                           Lookup{"BlanksArePartOfTheName", "spaced", -1, ""},
                                           Lookup{"Missing", "accept", -1, ""},
                                           Lookup{"PrefixIsNoMatch", "content", -1, ""}),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST(StringList, SplitsLinesAndJoinsThemWithCrLf) {
  TStringList list;
  list.Add("a=1");
  list.Add("plain");
  EXPECT_EQ(list.Names(0), "a");
  EXPECT_EQ(list.ValueFromIndex(0), "1");
  EXPECT_EQ(list.Names(1), "");
  EXPECT_EQ(list.Text(), "a=1\r\nplain\r\n");
  EXPECT_THROW(list[2], std::out_of_range);
}

}  // namespace
}  // namespace quorvin::platform
