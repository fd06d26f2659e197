#include "quorvin/platform/web/http_decode.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvin::web {
namespace {

struct DecodeCase {
  const char* name;
  std::string text, path, field;  // HTTPDecode and HTTPDecodeField of text
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, EscapesBecomeBytes) {
  EXPECT_EQ(HTTPDecode(GetParam().text), GetParam().path);
  EXPECT_EQ(HTTPDecodeField(GetParam().text), GetParam().field);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    , Decode,
    ::testing::Values(DecodeCase{"Plain", "/index.htm", "/index.htm", "/index.htm"},
                      DecodeCase{"Blank", "/a%20b", "/a b", "/a b"},
                      DecodeCase{"HexInEitherCase", "%4a%4A%e2%82%AC", "JJ\xe2\x82\xac",
                                 "JJ\xe2\x82\xac"},
                      DecodeCase{"Plus", "a+b%2B", "a+b+", "a b+"},
                      DecodeCase{"NulByte", "a%00b", "a\0b"s, "a\0b"s},
                      DecodeCase{"HighByte", "%fF", "\xff", "\xff"},
                      DecodeCase{"LonePercent", "%", "%", "%"},
                      DecodeCase{"PercentAtEnd", "100%", "100%", "100%"},
                      DecodeCase{"OneDigitAtEnd", "%4", "%4", "%4"},
                      DecodeCase{"NotHex", "%zz%g1%1g", "%zz%g1%1g", "%zz%g1%1g"},
                      DecodeCase{"PercentBeforeEscape", "%%41", "%A", "%A"},
                      DecodeCase{"EscapedPercentNotDecodedTwice", "%2541", "%41", "%41"},
                      DecodeCase{"Empty", "", "", ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Encode, EveryByteComesBackThroughBothDecoders) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string encoded = HTTPEncode(all);
  EXPECT_EQ(HTTPDecode(encoded), all);
  EXPECT_EQ(HTTPDecodeField(encoded), all);
  EXPECT_EQ(HTTPEncode("a b/+~-_.Z9%"), "a%20b%2F%2B~-_.Z9%25");
}

}  // namespace
}  // namespace quorvin::web
