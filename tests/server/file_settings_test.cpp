#include "quorvin/server/file_settings.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/host/file_system.h"
#include "quorvin/server/tarn_dw_server.h"
#include "quorvin/server/tarn_server.h"

namespace quorvin::server {
namespace {

TEST(FileProperties, DefaultsAskForNoOptions) {
  EXPECT_EQ(FileProperties{}.MakeOptions(), nullptr);
}

struct OptionsCase {
  const char* name;
  std::function<void(FileProperties&)> set;
  std::function<void(const FileOptions&)> check;
};

class FileOptionsFrom : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(FileOptionsFrom, Properties) {
  FileProperties properties;
  GetParam().set(properties);
  const auto options = properties.MakeOptions();
  ASSERT_NE(options, nullptr);
  GetParam().check(*options);
}

INSTANTIATE_TEST_SUITE_P(
    , FileOptionsFrom,
    ::testing::Values(
        OptionsCase{"SwitchesOnAtAnyNumberButZero",
                    [](FileProperties& p) {
                      p.ETags = 1;
                      p.Precompressed = 2;
                      p.DirectoryListing = -1;
                      p.ListingUploadForm = 3;
                    },
                    [](const FileOptions& o) {
                      EXPECT_TRUE(o.etags);
                      EXPECT_TRUE(o.precompressed);
                      EXPECT_TRUE(o.listing);
                      EXPECT_TRUE(o.listing_upload_form);
                    }},
        OptionsCase{"OneSwitchLeavesTheOthersOff", [](FileProperties& p) { p.Precompressed = 1; },
                    [](const FileOptions& o) {
                      EXPECT_FALSE(o.etags);
                      EXPECT_TRUE(o.precompressed);
                      EXPECT_FALSE(o.listing);
                      EXPECT_EQ(o.cache_control, "");
                    }},
        OptionsCase{"HeaderTexts",
                    [](FileProperties& p) {
                      p.CacheControl = "no-cache";
                      p.DefaultType = "text/plain";
                    },
                    [](const FileOptions& o) {
                      EXPECT_EQ(o.cache_control, "no-cache");
                      EXPECT_EQ(o.default_type, "text/plain");
                    }},
        // Assigned in code, past the properties' checks: what would break a header stays out.
        OptionsCase{"TextThatWouldBreakAHeaderIsLeftOut",
                    [](FileProperties& p) {
                      p.CacheControl = "max-age=1\r\nSet-Cookie: a=b";
                      p.DefaultType = "text/plain\n";
                      p.MimeTypes = "x=text/plain\r\nX: y";
                      p.FallbackDocument = "../outside.html";
                    },
                    [](const FileOptions& o) {
                      EXPECT_EQ(o.cache_control, "");
                      EXPECT_EQ(o.default_type, "");
                      EXPECT_EQ(o.types.Count(), 0u);
                      EXPECT_EQ(o.fallback, "");
                    }},
        OptionsCase{
            "MimeTypesWithOrWithoutDotsAndSeparators",
            [](FileProperties& p) { p.MimeTypes = ".wasm=application/x-w; htm=text/x-h,,"; },
            [](const FileOptions& o) {
              EXPECT_EQ(o.types.Count(), 2u);
              EXPECT_EQ(o.types.ContentType(".wasm"), "application/x-w");
              EXPECT_EQ(o.types.ContentType(".HTM"), "text/x-h");
            }},
        OptionsCase{
            "ErrorPagesAsAFullPath", [](FileProperties& p) { p.ErrorPages = "pages"; },
            [](const FileOptions& o) { EXPECT_EQ(o.error_pages, *host::ExpandFileName("pages")); }},
        OptionsCase{"FallbackBecomesAURLPath",
                    [](FileProperties& p) { p.FallbackDocument = "app/index.html"; },
                    [](const FileOptions& o) { EXPECT_EQ(o.fallback, "/app/index.html"); }},
        OptionsCase{"FallbackWithItsSlashStaysAsItIs",
                    [](FileProperties& p) { p.FallbackDocument = "/index.html"; },
                    [](const FileOptions& o) { EXPECT_EQ(o.fallback, "/index.html"); }}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Both modules publish every file property, in the table's order, after the others: a switch as
// an integer and a text as text, each stored only when it differs from its default, so that a
// form written before a property existed reads the same.
TEST(FileProperties, PublishedByBothModulesFromTheTable) {
  for (const platform::ClassInfo* info : {&TSvrModule::Class(), &TDwSvrModule::Class()}) {
    SCOPED_TRACE(info->name);
    const auto table = FileProperties::Table();
    ASSERT_GE(info->properties.size(), table.size());
    const std::size_t first = info->properties.size() - table.size();
    for (std::size_t i = 0; i < table.size(); ++i) {
      const FileProperty& row = table[i];
      const platform::PropInfo& published = info->properties[first + i];
      SCOPED_TRACE(row.name);
      EXPECT_EQ(published.name, row.name);
      ASSERT_TRUE(published.default_value.has_value());
      if (row.flag != nullptr) {
        EXPECT_EQ(published.kind, platform::PropKind::kInteger);
        EXPECT_EQ(*published.default_value, platform::PropValue(std::int64_t{0}));
      } else {
        EXPECT_EQ(published.kind, platform::PropKind::kText);
        EXPECT_EQ(*published.default_value, platform::PropValue(std::string()));
      }
    }
  }
}

}  // namespace
}  // namespace quorvin::server
