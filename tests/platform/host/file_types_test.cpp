#include "quorvin/platform/host/file_types.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace quorvin::host {
namespace {

struct Lookup {
  const char* name;
  std::string extension;
  std::string type;
};

class ContentTypeLookup : public ::testing::TestWithParam<Lookup> {};

TEST_P(ContentTypeLookup, AnswersFromTheProgramsRegistry) {
  EXPECT_EQ(FileTypeRegistry::Instance().ContentType(GetParam().extension), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    , ContentTypeLookup,
    ::testing::Values(Lookup{"Htm", ".htm", "text/html"},
                      Lookup{"UpperCaseHtml", ".HTML", "text/html"},
                      Lookup{"MixedCase", ".Css", "text/css"},
                      Lookup{"Script", ".js", "text/javascript"},
                      Lookup{"Image", ".png", "image/png"}, Lookup{"Font", ".woff2", "font/woff2"},
                      Lookup{"Unknown", ".qvx", ""}, Lookup{"Empty", "", ""},
                      Lookup{"DotAlone", ".", ""}, Lookup{"WithoutItsDot", "htm", ""},
                      Lookup{"LongUpperCase", ".THIS-IS-NO-EXTENSION-ANYONE-USES", ""}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(FileTypes, ReadsMimeTypesWithTheBuiltInTableFirst) {
  FileTypeRegistry registry;
  registry.AddBuiltInTypes();
  registry.LoadMimeTypesText(
      "# comment line text/x-comment cmt\n"
      "text/x-quorvin\tqvx QVY   # trailing comment text/x-no nope\n"
      "application/x-second qvx\n"
      "text/x-html-elsewhere htm shtml\n"
      "not-a-type-line foo\n"
      "\n"
      "   image/x-thing   thg\r\n"
      "application/x-empty\n"
      "text/x-last last");
  EXPECT_EQ(registry.ContentType(".qvx"), "text/x-quorvin");  // the first line that names it
  EXPECT_EQ(registry.ContentType(".qvy"), "text/x-quorvin");
  EXPECT_EQ(registry.ContentType(".htm"), "text/html");  // the built-in table wins
  EXPECT_EQ(registry.ContentType(".shtml"), "text/x-html-elsewhere");
  EXPECT_EQ(registry.ContentType(".thg"), "image/x-thing");
  EXPECT_EQ(registry.ContentType(".last"), "text/x-last");
  EXPECT_EQ(registry.ContentType(".foo"), "");
  EXPECT_EQ(registry.ContentType(".cmt"), "");
  EXPECT_EQ(registry.ContentType(".nope"), "");
}

TEST(FileTypes, AddedEntriesReplaceAndIgnoreCase) {
  FileTypeRegistry registry;
  EXPECT_EQ(registry.ContentType(".htm"), "");
  registry.Add(".QVX", "application/x-quorvin");
  EXPECT_EQ(registry.ContentType(".qvx"), "application/x-quorvin");
  EXPECT_EQ(registry.ContentType(".Qvx"), "application/x-quorvin");
  registry.Add(".qvx", "text/plain");
  EXPECT_EQ(registry.ContentType(".QVX"), "text/plain");
  EXPECT_EQ(registry.Count(), 1u);
  EXPECT_FALSE(registry.LoadMimeTypes("/nonexistent/mime.types"));
}

TEST(FileTypes, ProgramsRegistryHoldsTheSystemTypes) {
  const std::string system = "/etc/mime.types";
  if (!std::filesystem::exists(system)) GTEST_SKIP() << "this host has no " << system;
  FileTypeRegistry from_file;
  ASSERT_TRUE(from_file.LoadMimeTypes(system));
  // An extension that the built-in table does not know comes from the system's file.
  const std::string& expected = from_file.ContentType(".odt");
  if (expected.empty()) GTEST_SKIP() << system << " has no entry for .odt";
  EXPECT_EQ(FileTypeRegistry::Instance().ContentType(".odt"), expected);
}

}  // namespace
}  // namespace quorvin::host
