#include "quorvin/platform/web/multipart.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::web {
namespace {

using namespace std::string_literals;
using Result = MultipartReader::Result;

// What a reader handed out, one line per part: "name|file name or -|type|content", with "!"
// after a part that began but did not end.
class Recorder final : public MultipartReader::Handler {
 public:
  void PartBegins(const MultipartPart& part) override {
    ASSERT_FALSE(open_) << "a part began inside another";
    open_ = true;
    parts += part.name + "|" + (part.has_file_name ? part.file_name : "-") + "|" +
             part.content_type + "|";
  }

  void PartData(std::string_view bytes) override {
    ASSERT_TRUE(open_) << "content outside a part";
    ASSERT_FALSE(bytes.empty()) << "an empty piece";
    parts += bytes;
    data += bytes.size();
  }

  void PartEnds() override {
    ASSERT_TRUE(open_);
    open_ = false;
    parts += "\n";
  }

  std::string Summary() const { return open_ ? parts + "!" : parts; }

  std::string parts;
  std::size_t data = 0;

 private:
  bool open_ = false;
};

struct Reading {
  Result result;
  std::string parts;
  std::string error;
};

// Feeds `body` in pieces ending at each of `cuts`, then says it has ended.
Reading Read(std::string_view boundary, std::string_view body,
             const std::vector<std::size_t>& cuts = {}, MultipartLimits limits = {}) {
  Recorder recorder;
  MultipartReader reader(boundary, recorder, limits);
  Result result = Result::kNeedMore;
  std::size_t at = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(body.size());
  for (const std::size_t end : ends) {
    std::size_t used = 0;
    result = reader.Feed(body.substr(at, end - at), used);
    EXPECT_LE(used, end - at);
    if (result == Result::kNeedMore) {
      EXPECT_EQ(used, end - at) << "kNeedMore without taking every byte";
    }
    if (result != Result::kNeedMore) break;
    at = end;
  }
  if (result == Result::kNeedMore) result = reader.Finish();
  return {result, recorder.Summary(), std::string(reader.Error())};
}

// A body with the awkward things a part's content may hold: CR LF, the boundary's text without
// its dashes, a delimiter missing its last byte, NUL bytes.
const std::string kBody =
    "a preamble, ignored\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"title\"\r\n"
    "\r\n"
    "Hello\r\nWorld\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"upload\"; filename=\"a.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "\0\r\n--Xy\r\n-XyZ--\r\n\r\n--X\0"s
    "\r\n--XyZ\r\n"
    "content-disposition: FORM-DATA; NAME=empty\r\n"
    "\r\n"
    "\r\n--XyZ--\r\n"
    "an epilogue, ignored too\r\n";

const std::string kParts =
    "title|-||Hello\r\nWorld\n"
    "upload|a.bin|application/octet-stream|\0\r\n--Xy\r\n-XyZ--\r\n\r\n--X\0\n"s
    "empty|-||\n";

TEST(MultipartReader, SameResultWhereverTheReadsSplit) {
  const Reading whole = Read("XyZ", kBody);
  EXPECT_EQ(whole.result, Result::kDone) << whole.error;
  EXPECT_EQ(whole.parts, kParts);
  for (std::size_t cut = 1; cut < kBody.size(); ++cut) {
    SCOPED_TRACE(cut);
    const Reading split = Read("XyZ", kBody, {cut});
    EXPECT_EQ(split.result, Result::kDone) << split.error;
    EXPECT_EQ(split.parts, kParts);
  }
  std::vector<std::size_t> every_byte;
  for (std::size_t cut = 1; cut < kBody.size(); ++cut) every_byte.push_back(cut);
  const Reading bytewise = Read("XyZ", kBody, every_byte);
  EXPECT_EQ(bytewise.result, Result::kDone) << bytewise.error;
  EXPECT_EQ(bytewise.parts, kParts);
}

// A part's content is handed out as it comes, all but a tail that may begin the delimiter.
TEST(MultipartReader, HandsOutContentWithoutWaitingForThePartsEnd) {
  const std::string boundary = "----------------------------a3f9c1";
  Recorder recorder;
  MultipartReader reader(boundary, recorder);
  std::size_t used = 0;
  ASSERT_EQ(reader.Feed("--" + boundary +
                            "\r\nContent-Disposition: form-data; name=f; filename=big\r\n\r\n",
                        used),
            Result::kNeedMore);
  // Pieces that end in a CR LF and dashes, the start of a delimiter.
  const std::string piece = std::string(4093, 'x') + "\r\n-";
  std::size_t fed = 0;
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(reader.Feed(piece, used), Result::kNeedMore);
    fed += piece.size();
    ASSERT_LE(fed - recorder.data, boundary.size() + 4) << "held back more than a delimiter";
    EXPECT_GT(recorder.data, fed - piece.size());
  }
  ASSERT_EQ(reader.Feed("\r\n--" + boundary + "--", used), Result::kDone);
  EXPECT_EQ(recorder.data, fed);
}

// A body of `parts` fields of one byte each.
std::string Parts(std::size_t parts) {
  std::string body;
  for (std::size_t i = 0; i < parts; ++i)
    body += "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n";
  return body + "--b--\r\n";
}

// One part whose head is `bytes` long (its line ends and blank line included) in `lines` lines.
std::string HeadOf(std::size_t bytes, int lines = 2) {
  std::string head = "Content-Disposition: form-data; name=\"f\"\r\n";
  for (int i = 2; i < lines; ++i) head += "X-Line: 1\r\n";
  const std::string pad_line = "X-Pad: \r\n";
  head += "X-Pad: " + std::string(bytes - head.size() - pad_line.size() - 2, 'p') + "\r\n\r\n";
  return "--b\r\n" + head + "v\r\n--b--\r\n";
}

struct BodyCase {
  const char* name;
  std::string body;
  Result result;
  std::string parts_or_error;  // the parts (as Recorder writes them) when kDone, a part of the
                               // error when kBad
};

class MultipartBodies : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MultipartBodies, ReadOrRefusedWithTheReason) {
  const BodyCase& c = GetParam();
  const Reading r = Read("b", c.body);
  ASSERT_EQ(r.result, c.result) << r.error;
  if (c.result == Result::kDone) {
    EXPECT_EQ(r.parts, c.parts_or_error);
  } else {
    EXPECT_NE(r.error.find(c.parts_or_error), std::string::npos) << r.error;
  }
}

const std::string kField = "Content-Disposition: form-data; name=\"f\"\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    , MultipartBodies,
    ::testing::Values(
        BodyCase{"FirstBoundaryAtTheStart", "--b\r\n" + kField + "v\r\n--b--", Result::kDone,
                 "f|-||v\n"},
        BodyCase{"NoPartsAtAll", "--b--\r\n", Result::kDone, ""},
        BodyCase{"PaddingAfterBoundary", "--b \t\r\n" + kField + "v\r\n--b--", Result::kDone,
                 "f|-||v\n"},
        BodyCase{"EmptyContent", "--b\r\n" + kField + "\r\n--b--", Result::kDone, "f|-||\n"},
        BodyCase{"QuotedPairsAndAWindowsPath",
                 "--b\r\nContent-Disposition: form-data; name=\"a\\\"b\"; "
                 "filename=\"C:\\dir\\x.txt\"\r\n\r\n"
                 "v\r\n--b--",
                 Result::kDone, "a\"b|C:\\dir\\x.txt||v\n"},
        BodyCase{"EmptyFileName",
                 "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n\r\n--b--",
                 Result::kDone, "f||application/octet-stream|\n"},
        BodyCase{"Utf8ExtendedFileName",
                 "--b\r\nContent-Disposition: form-data; name=f; filename=\"x\"; "
                 "filename*=UTF-8''na%C3%AFve.txt\r\n\r\n"
                 "v\r\n--b--",
                 Result::kDone, "f|na\xC3\xAFve.txt||v\n"},
        BodyCase{"OtherHeadersIgnored", "--b\r\nX-Other: 1\r\n" + kField + "v\r\n--b--",
                 Result::kDone, "f|-||v\n"},
        BodyCase{"HeadAtItsLimit", HeadOf(8192), Result::kDone, "f|-||v\n"},
        BodyCase{"HeadBeyondItsLimit", HeadOf(8193), Result::kBad,
                 "head is larger than 8192 bytes"},
        BodyCase{"HeaderLinesAtTheLimit", HeadOf(600, 32), Result::kDone, "f|-||v\n"},
        BodyCase{"HeaderLinesBeyondTheLimit", HeadOf(600, 33), Result::kBad,
                 "more than 32 header lines"},
        BodyCase{"PartsAtTheLimit", Parts(1000), Result::kDone,
                 [] {
                   std::string parts;
                   for (int i = 0; i < 1000; ++i) parts += "f|-||v\n";
                   return parts;
                 }()},
        BodyCase{"PartsBeyondTheLimit", Parts(1001), Result::kBad, "more than 1000 parts"},
        BodyCase{"NoClosingBoundary", "--b\r\n" + kField + "v\r\n", Result::kBad,
                 "ends before its closing boundary"},
        BodyCase{"EndsInsideAHead", "--b\r\nContent-Disp", Result::kBad,
                 "ends before its closing boundary"},
        BodyCase{"NoBoundaryLine", "just text", Result::kBad, "no boundary line"},
        BodyCase{"BoundaryInsideALineIsPreamble", "x--b\r\n" + kField + "v\r\n--b--", Result::kDone,
                 ""},
        BodyCase{"BoundaryTextGoesOn", "--b\r\n" + kField + "v\r\n--bc\r\n", Result::kBad,
                 "goes on after the boundary"},
        BodyCase{"BareLfInAHead", "--b\r\nContent-Disposition: form-data; name=f\n\r\nv\r\n--b--",
                 Result::kBad, "bare LF"},
        BodyCase{"BareLfAfterABoundary", "--b\n" + kField + "v\r\n--b--", Result::kBad,
                 "goes on after"},
        BodyCase{"NoDisposition", "--b\r\nContent-Type: text/plain\r\n\r\nv\r\n--b--", Result::kBad,
                 "no Content-Disposition"},
        BodyCase{"NotFormData", "--b\r\nContent-Disposition: attachment; name=f\r\n\r\nv\r\n--b--",
                 Result::kBad, "not form-data"},
        BodyCase{"NoName", "--b\r\nContent-Disposition: form-data; filename=a\r\n\r\nv\r\n--b--",
                 Result::kBad, "no name"},
        BodyCase{"NameTwice",
                 "--b\r\nContent-Disposition: form-data; name=a; name=b\r\n\r\nv\r\n--b--",
                 Result::kBad, "malformed"},
        BodyCase{"UnclosedQuote",
                 "--b\r\nContent-Disposition: form-data; name=\"a\r\n\r\nv\r\n--b--", Result::kBad,
                 "malformed"},
        BodyCase{"TwoDispositions",
                 "--b\r\n" + kField.substr(0, kField.size() - 2) + kField + "v\r\n--b--",
                 Result::kBad, "two Content-Disposition"},
        BodyCase{"FoldedHeader",
                 "--b\r\n" + kField.substr(0, kField.size() - 2) + " more\r\n\r\nv\r\n--b--",
                 Result::kBad, "folded"}),
    [](const auto& test) { return std::string(test.param.name); });

struct BoundaryCase {
  const char* name;
  std::string content_type;
  std::optional<std::string> boundary;
};

class BoundaryOf : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(BoundaryOf, ReadFromTheContentType) {
  EXPECT_EQ(MultipartReader::BoundaryOf(GetParam().content_type), GetParam().boundary);
}

INSTANTIATE_TEST_SUITE_P(
    , BoundaryOf,
    ::testing::Values(
        BoundaryCase{"Token", "multipart/form-data; boundary=----WebKitFormBoundary7MA4",
                     "----WebKitFormBoundary7MA4"},
        BoundaryCase{"Quoted", "multipart/form-data; boundary=\"a b:c?\"", "a b:c?"},
        BoundaryCase{"AmongOtherParameters",
                     "Multipart/Form-Data ; charset=utf-8;BOUNDARY = x; a=\"b;c\"", "x"},
        BoundaryCase{"SeventyCharacters", "multipart/form-data; boundary=" + std::string(70, 'a'),
                     std::string(70, 'a')},
        BoundaryCase{"SeventyOneCharacters",
                     "multipart/form-data; boundary=" + std::string(71, 'a'), std::nullopt},
        BoundaryCase{"Empty", "multipart/form-data; boundary=\"\"", std::nullopt},
        BoundaryCase{"Missing", "multipart/form-data", std::nullopt},
        BoundaryCase{"ForbiddenCharacter", "multipart/form-data; boundary=\"a@b\"", std::nullopt},
        BoundaryCase{"BlankAtTheEnd", "multipart/form-data; boundary=\"ab \"", std::nullopt},
        BoundaryCase{"UnclosedQuote", "multipart/form-data; boundary=\"ab", std::nullopt},
        BoundaryCase{"Twice", "multipart/form-data; boundary=a; boundary=b", std::nullopt},
        BoundaryCase{"OtherMultipart", "multipart/mixed; boundary=a", std::nullopt},
        BoundaryCase{"NotMultipart", "text/plain; boundary=a", std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

struct FileNameCase {
  const char* name;
  std::string sent, safe;
};

class SafeFileNames : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(SafeFileNames, OneNameNeverAPath) {
  EXPECT_EQ(SafeFileName(GetParam().sent), GetParam().safe);
}

INSTANTIATE_TEST_SUITE_P(
    , SafeFileNames,
    ::testing::Values(FileNameCase{"Plain", "report 2024.pdf", "report 2024.pdf"},
                      FileNameCase{"DotFile", ".profile", ".profile"},
                      FileNameCase{"UpWithSlashes", "../../etc/passwd", "passwd"},
                      FileNameCase{"UpWithBackslashes", "..\\..\\boot.ini", "boot.ini"},
                      FileNameCase{"AbsolutePath", "/home/me/a.txt", "a.txt"},
                      FileNameCase{"WindowsPath", "C:\\Users\\me\\photo.jpg", "photo.jpg"},
                      FileNameCase{"EndsInASlash", "dir/", ""}, FileNameCase{"Empty", "", ""},
                      FileNameCase{"Dot", ".", ""}, FileNameCase{"DotDot", "..", ""},
                      FileNameCase{"UpAtTheEnd", "a/..", ""},
                      FileNameCase{"OnlyDotsAndBlanks", " . .. ", ""},
                      FileNameCase{"ControlCharacters", "a\x01\tb\x7f\0.txt"s, "ab.txt"},
                      FileNameCase{"ControlCharactersAroundDots", ".\r.\n", ""},
                      FileNameCase{"Utf8Kept", "r\xC3\xA9sum\xC3\xA9.txt",
                                   "r\xC3\xA9sum\xC3\xA9.txt"},
                      FileNameCase{"LongNameKeepsItsExtension", std::string(300, 'a') + ".txt",
                                   std::string(251, 'a') + ".txt"},
                      FileNameCase{"LongNameCutBetweenCharacters",
                                   "ab" +
                                       [] {
                                         std::string s;
                                         for (int i = 0; i < 200; ++i) s += "\xC3\xA9";
                                         return s;
                                       }(),
                                   "ab" +
                                       [] {
                                         std::string s;
                                         for (int i = 0; i < 126; ++i) s += "\xC3\xA9";
                                         return s;
                                       }()}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quorvin::web
