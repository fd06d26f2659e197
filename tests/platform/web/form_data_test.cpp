#include "quorvin/platform/web/form_data.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace quorvin::web {
namespace {

using namespace std::string_literals;

struct Part {
  std::string name;
  std::optional<std::string> file_name;  // a file part when set
  std::string content;
};

const std::string kMultipart = "multipart/form-data; boundary=zz";
const std::string kUrlEncoded = "application/x-www-form-urlencoded";

std::string Multipart(const std::vector<Part>& parts) {
  std::string body;
  for (const Part& p : parts) {
    body += "--zz\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
    if (p.file_name)
      body += "; filename=\"" + *p.file_name + "\"\r\nContent-Type: application/octet-stream";
    body += "\r\n\r\n" + p.content + "\r\n";
  }
  return body + "--zz--\r\n";
}

std::unique_ptr<platform::TMemoryStream> StreamOf(const std::string& bytes) {
  auto stream = std::make_unique<platform::TMemoryStream>();
  stream->WriteText(bytes);
  stream->SetPosition(0);
  return stream;
}

std::string ReadAll(platform::TStream& stream) {
  std::string bytes(static_cast<std::size_t>(stream.Size()), '\0');
  stream.ReadBuffer(bytes.data(), stream.Size());
  return bytes;
}

bool Spooled(const FormFile& file) {
  return dynamic_cast<platform::THandleStream*>(file.stream.get()) != nullptr;
}

// Files share the memory budget: once it is spent, the next file goes to a file without a
// name, which leaves nothing in the folder.
TEST(ReadForm, FieldsAndFilesInMemoryAndInFilesWithoutNames) {
  testing::TempDir spool;
  std::string big(200, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 37);
  const std::string body = Multipart({{"title", {}, "Hello\r\nthere"},
                                      {"tag", {}, "a"},
                                      {"small", "../../etc/x.txt", std::string(60, 's')},
                                      {"big", "C:\\tmp\\big.bin", big},
                                      {"tag", {}, "b"},
                                      {"second", "s.txt", std::string(60, 't')},
                                      {"empty", "", ""}});
  FormOptions options;
  options.file_memory = 100;
  options.spool_folder = spool.Str();
  FormData form;
  const FormResult result = ReadForm(StreamOf(body).get(), kMultipart, form, options);
  ASSERT_TRUE(result.Ok()) << result.error;

  EXPECT_EQ(form.Field("title"), "Hello\r\nthere");
  EXPECT_EQ(form.Field("tag"), "a");
  EXPECT_EQ(form.FieldValues("tag"), (std::vector<std::string_view>{"a", "b"}));
  EXPECT_EQ(form.Field("Title"), "") << "names compare exactly";
  EXPECT_FALSE(form.HasField("small")) << "a file is no field";
  ASSERT_EQ(form.files.size(), 4u);

  const FormFile* small = form.File("small");
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->file_name, "x.txt");
  EXPECT_EQ(small->sent_file_name, "../../etc/x.txt");
  EXPECT_EQ(small->content_type, "application/octet-stream");
  EXPECT_EQ(small->size, 60);
  EXPECT_FALSE(Spooled(*small));
  EXPECT_EQ(ReadAll(*small->stream), std::string(60, 's'));

  const FormFile* spooled = form.File("big");
  ASSERT_NE(spooled, nullptr);
  EXPECT_EQ(spooled->file_name, "big.bin");
  EXPECT_EQ(spooled->size, 200);
  EXPECT_TRUE(Spooled(*spooled));
  EXPECT_TRUE(ReadAll(*spooled->stream) == big) << "the spooled bytes differ";
  // 60 bytes are in memory already: 60 more would pass the budget of 100.
  EXPECT_TRUE(Spooled(*form.File("second")));

  const FormFile* empty = form.File("empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->file_name, "");
  EXPECT_EQ(empty->size, 0);
  EXPECT_TRUE(std::filesystem::is_empty(spool.Path())) << "a spooled file has a name";
}

TEST(ReadForm, UrlEncodedFieldsAcrossReads) {
  // A value longer than one read of the body.
  const std::string long_value(100 * 1024, 'v');
  const std::string body = "a=1&b=x+y%21&&c&a=2&=v&long=" + long_value + "&%C3%A9=%00";
  FormData form;
  const FormResult result = ReadForm(StreamOf(body).get(), kUrlEncoded + "; charset=UTF-8", form);
  ASSERT_TRUE(result.Ok()) << result.error;
  std::vector<std::string> fields;
  for (const FormField& f : form.fields)
    fields.push_back(f.name + "=" + (f.name == "long" ? "..." : f.value));
  EXPECT_EQ(fields, (std::vector<std::string>{"a=1", "b=x y!", "c=", "a=2", "=v", "long=...",
                                              "\xC3\xA9=\0"s}));
  EXPECT_EQ(form.Field("long"), long_value);
}

struct LimitCase {
  const char* name;
  std::string content_type;
  std::string body;
  std::function<void(FormOptions&)> limit;
  FormStatus status;
  const char* error;  // a part of the reason, when not kOk
};

class FormLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(FormLimits, KeptOrRefusedWithTheReason) {
  const LimitCase& c = GetParam();
  FormOptions options;
  c.limit(options);
  FormData form;
  const FormResult result = ReadForm(StreamOf(c.body).get(), c.content_type, form, options);
  EXPECT_EQ(result.status, c.status) << result.error;
  if (c.status == FormStatus::kOk) return;
  EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
  EXPECT_TRUE(form.fields.empty() && form.files.empty()) << "a refused form left what it read";
}

const auto kNoLimit = [](FormOptions&) {};
const auto kTenBytesAField = [](FormOptions& o) { o.max_field_bytes = 10; };
const auto kTwoFields = [](FormOptions& o) { o.max_fields = 2; };
const auto kFieldsOfTwentyBytes = [](FormOptions& o) { o.max_fields_total = 20; };
const auto kTwoFiles = [](FormOptions& o) { o.max_files = 2; };
const auto kFilesOfHundredBytes = [](FormOptions& o) { o.max_files_total = 100; };

INSTANTIATE_TEST_SUITE_P(
    , FormLimits,
    ::testing::Values(
        LimitCase{"MultipartFieldAtItsLimit", kMultipart,
                  Multipart({{"f", {}, std::string(10, 'x')}}), kTenBytesAField, FormStatus::kOk,
                  ""},
        LimitCase{"MultipartFieldBeyondItsLimit", kMultipart,
                  Multipart({{"f", {}, std::string(11, 'x')}}), kTenBytesAField, FormStatus::kBad,
                  "larger than 10 bytes"},
        LimitCase{"EncodedFieldAtItsLimit", kUrlEncoded, "f=" + std::string(10, 'x'),
                  kTenBytesAField, FormStatus::kOk, ""},
        LimitCase{"EncodedFieldBeyondItsLimit", kUrlEncoded, "f=%41%41%41%41%41%41%41%41%41%41%41",
                  kTenBytesAField, FormStatus::kBad, "larger than 10 bytes"},
        LimitCase{"FieldsAtTheirCount", kUrlEncoded, "a=1&b=2", kTwoFields, FormStatus::kOk, ""},
        LimitCase{"FieldsBeyondTheirCount", kUrlEncoded, "a=1&b=2&c=3", kTwoFields,
                  FormStatus::kBad, "more than 2 fields"},
        LimitCase{"MultipartFieldsBeyondTheirCount", kMultipart,
                  Multipart({{"a", {}, ""}, {"b", {}, ""}, {"c", {}, ""}}), kTwoFields,
                  FormStatus::kBad, "more than 2 fields"},
        LimitCase{"FieldsAtTheirTotal", kUrlEncoded, "a=123456789&b=123456789",
                  kFieldsOfTwentyBytes, FormStatus::kOk, ""},
        LimitCase{"FieldsBeyondTheirTotal", kUrlEncoded, "a=123456789&b=1234567890",
                  kFieldsOfTwentyBytes, FormStatus::kBad, "larger than 20 bytes together"},
        LimitCase{"FilesAtTheirCount", kMultipart, Multipart({{"a", "a", "1"}, {"b", "b", "2"}}),
                  kTwoFiles, FormStatus::kOk, ""},
        LimitCase{"FilesBeyondTheirCount", kMultipart,
                  Multipart({{"a", "a", "1"}, {"b", "b", "2"}, {"c", "c", "3"}}), kTwoFiles,
                  FormStatus::kBad, "more than 2 files"},
        LimitCase{"FilesAtTheirTotal", kMultipart,
                  Multipart({{"a", "a", std::string(50, 'a')}, {"b", "b", std::string(50, 'b')}}),
                  kFilesOfHundredBytes, FormStatus::kOk, ""},
        LimitCase{"FilesBeyondTheirTotal", kMultipart,
                  Multipart({{"a", "a", std::string(50, 'a')}, {"b", "b", std::string(51, 'b')}}),
                  kFilesOfHundredBytes, FormStatus::kBad, "larger than 100 bytes together"},
        LimitCase{"MalformedMultipart", kMultipart,
                  "--zz\r\nContent-Disposition: form-data; name=a\r\n\r\n1", kNoLimit,
                  FormStatus::kBad, "ends before its closing boundary"},
        LimitCase{"MultipartWithoutBoundary", "multipart/form-data", Multipart({{"a", {}, "1"}}),
                  kNoLimit, FormStatus::kBad, "no usable boundary"},
        LimitCase{"OtherTypeIsNoForm", "application/json", "{\"a\": 1}", kNoLimit, FormStatus::kOk,
                  ""},
        LimitCase{"SpoolFolderMissing", kMultipart, Multipart({{"a", "a", std::string(50, 'a')}}),
                  [](FormOptions& o) {
                    o.file_memory = 10;
                    o.spool_folder = "/nonexistent/quorvin-spool";
                  },
                  FormStatus::kCannotStore, "/nonexistent/quorvin-spool refuses"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quorvin::web
