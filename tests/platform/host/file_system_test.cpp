#include "quorvin/platform/host/file_system.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace quorvin::host {
namespace {

struct Expand {
  const char* name;
  std::string path;
  std::string expected;  // "{cwd}" stands for the current directory, "{parent}" for its parent
};

std::string Substitute(std::string text) {
  const std::string cwd = GetCurrentDir();
  const std::string base = cwd == "/" ? "" : cwd;
  const std::string parent = base.substr(0, base.rfind('/'));
  for (auto [key, value] :
       {std::pair<std::string, std::string>{"{cwd}", base}, {"{parent}", parent}}) {
    if (const auto at = text.find(key); at != std::string::npos)
      text.replace(at, key.size(), value);
  }
  return text;
}

class ExpandFileNameCase : public ::testing::TestWithParam<Expand> {};

TEST_P(ExpandFileNameCase, ResolvesLexically) {
  EXPECT_EQ(ExpandFileName(GetParam().path), Substitute(GetParam().expected));
}

// The server resolves its root and a request's path as two texts: cut anywhere, a path
// resolves as it does whole, names cut in two included.
TEST_P(ExpandFileNameCase, ResolvesInTwoPartsAsWhole) {
  const std::string& path = GetParam().path;
  for (std::size_t cut = 0; cut <= path.size(); ++cut) {
    EXPECT_EQ(ExpandFileName(std::string_view(path).substr(0, cut), std::string_view(path).substr(cut)),
              Substitute(GetParam().expected))
        << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , ExpandFileNameCase,
    ::testing::Values(Expand{"AlreadyFull", "/srv/site/index.htm", "/srv/site/index.htm"},
                      Expand{"Dot", "/srv/./site/.", "/srv/site"},
                      Expand{"DotDot", "/srv/site/a/../x.htm", "/srv/site/x.htm"},
                      Expand{"DotDotLeavesTheSite", "/srv/site/../x.htm", "/srv/x.htm"},
                      Expand{"DotDotAtTheRootStaysThere", "/../x", "/x"},
                      Expand{"MoreDotDotsThanNames", "/a/../../../x/", "/x/"},
                      Expand{"Root", "/", "/"}, Expand{"RootDotDot", "/..", "/"},
                      Expand{"RunsOfSeparators", "//srv///site//x", "/srv/site/x"},
                      Expand{"TrailingSeparatorKept", "/srv/site/docs/", "/srv/site/docs/"},
                      Expand{"TrailingRunBecomesOne", "/srv/site/docs///", "/srv/site/docs/"},
                      Expand{"TrailingDotDotWithSeparator", "/srv/site/docs/../", "/srv/site/"},
                      Expand{"TrailingDotDotWithout", "/srv/site/docs/..", "/srv/site"},
                      Expand{"DotsInsideNamesAreNames", "/a/..b/c./.../d", "/a/..b/c./.../d"},
                      Expand{"BackslashIsPartOfAName", "/a\\..\\b", "/a\\..\\b"},
                      Expand{"Relative", "docs/index.htm", "{cwd}/docs/index.htm"},
                      Expand{"RelativeDot", ".", "{cwd}"},
                      Expand{"RelativeDotWithSeparator", "./", "{cwd}/"},
                      Expand{"RelativeUp", "../x", "{parent}/x"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ExpandFileNameLimits, FailsForNoPathAndTooLongResults) {
  EXPECT_EQ(ExpandFileName(""), std::nullopt);
  EXPECT_EQ(ExpandFileName(std::string("/a\0b", 4)), std::nullopt);

  // kMaxPath counts the terminating zero, as the host's limit does.
  const std::string longest = "/" + std::string(kMaxPath - 2, 'a');
  EXPECT_EQ(ExpandFileName(longest), longest);
  EXPECT_EQ(ExpandFileName(longest + "b"), std::nullopt);
  EXPECT_EQ(ExpandFileName(longest + "/"), std::nullopt);  // the kept separator counts too
  // Only the result counts: a long path that resolves to a short one is fine.
  std::string detour = "/";
  while (detour.size() < 2 * kMaxPath) detour += "abcdef/../";
  EXPECT_EQ(ExpandFileName(detour + "x"), "/x");
}

struct Hidden {
  const char* name;
  std::string root, path;
  bool hidden;
};

class HiddenBelow : public ::testing::TestWithParam<Hidden> {};

TEST_P(HiddenBelow, CountsOnlyNamesBelowTheRoot) {
  EXPECT_EQ(IsHiddenBelow(GetParam().root, GetParam().path), GetParam().hidden);
}

INSTANTIATE_TEST_SUITE_P(
    , HiddenBelow,
    ::testing::Values(
        Hidden{"PlainFile", "/srv/site", "/srv/site/docs/index.htm", false},
        Hidden{"DotFile", "/srv/site", "/srv/site/.htaccess", true},
        Hidden{"DotDirectoryOnTheWay", "/srv/site", "/srv/site/.git/config", true},
        Hidden{"DeepDotDirectory", "/srv/site", "/srv/site/a/.b/c/d.htm", true},
        Hidden{"DotDirectoryNamedWithSeparator", "/srv/site", "/srv/site/.git/", true},
        Hidden{"DotInsideANameIsNotHidden", "/srv/site", "/srv/site/a.b/c.htm", false},
        Hidden{"DotDirectoryAboveTheRoot", "/home/u/.local/site", "/home/u/.local/site/a.htm",
               false},
        Hidden{"TheRootItself", "/home/u/.local/site", "/home/u/.local/site", false},
        Hidden{"RootWithTrailingSeparator", "/home/.u/site/", "/home/.u/site/.env", true},
        Hidden{"RootWithTrailingSeparatorPlain", "/home/.u/site/", "/home/.u/site/a.htm", false},
        Hidden{"RootComparedIgnoringCase", "/home/.U/Site", "/home/.u/site/a.htm", false},
        Hidden{"SiblingSharingTheRootsPrefix", "/home/.u/site", "/home/.u/site2/a.htm", true},
        Hidden{"FileSystemRootAsRoot", "/", "/.profile", true},
        Hidden{"FileSystemRootAsRootPlain", "/", "/srv/a.htm", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

class Attributes : public ::testing::Test {
 protected:
  std::string At(const std::string& relative) const { return (dir_.Path() / relative).string(); }

  testing::TempDir dir_;
};

TEST_F(Attributes, TellFilesDirectoriesAndHiddenNamesApart) {
  dir_.Write("page.htm", "x");
  dir_.Write(".secret", "x");
  dir_.MakeDir("docs");
  dir_.MakeDir(".git");
  dir_.Write("locked.htm", "x");
  std::filesystem::permissions(At("locked.htm"), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  std::filesystem::create_symlink(At("page.htm"), At("link.htm"));
  std::filesystem::create_symlink(At("gone.htm"), At("dangling.htm"));

  struct Case {
    std::string path;
    std::uint32_t attributes;
    FileKind kind;
  };

  for (const Case& c :
       {Case{At("page.htm"), kFaNormal, FileKind::kRegular},
        Case{At(".secret"), kFaHidden, FileKind::kRegular},
        Case{At("docs"), kFaDirectory, FileKind::kDirectory},
        Case{At("docs/"), kFaDirectory, FileKind::kDirectory},
        Case{At(".git"), kFaDirectory | kFaHidden, FileKind::kDirectory},
        Case{At("locked.htm"), kFaReadOnly, FileKind::kRegular},
        Case{At("link.htm"), kFaNormal, FileKind::kRegular},
        Case{At("dangling.htm"), kFaInvalid, FileKind::kNone},
        Case{At("missing.htm"), kFaInvalid, FileKind::kNone},
        Case{At("page.htm/"), kFaInvalid, FileKind::kNone},
        Case{At("page.htm") + std::string("\0.txt", 5), kFaInvalid, FileKind::kNone},
        Case{"", kFaInvalid, FileKind::kNone}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(GetFileAttributes(c.path), c.attributes);
    EXPECT_EQ(GetFileKind(c.path), c.kind);
    EXPECT_EQ(FileExists(c.path), c.kind == FileKind::kRegular);
    EXPECT_EQ(DirectoryExists(c.path), c.kind == FileKind::kDirectory);
  }
}

TEST_F(Attributes, FifoIsNeitherAFileToServeNorADirectory) {
  const std::string fifo = At("pipe.htm");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(GetFileKind(fifo), FileKind::kOther);
  EXPECT_EQ(GetFileAttributes(fifo), kFaDevice);
  EXPECT_TRUE(FileExists(fifo));
  EXPECT_FALSE(DirectoryExists(fifo));
}

TEST_F(Attributes, FileAgeIsTheLastWriteTime) {
  const std::string page = dir_.Write("page.htm", "x").string();
  const timespec times[2] = {{1700000000, 0}, {1796763670, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, page.c_str(), times, 0), 0);
  EXPECT_EQ(FileAge(page), std::time_t{1796763670});
  EXPECT_EQ(GetFileInfo(page).last_write, 1796763670);

  struct stat st {};

  ASSERT_EQ(::stat(dir_.Str().c_str(), &st), 0);
  EXPECT_EQ(FileAge(dir_.Str()), st.st_mtime);
  EXPECT_EQ(FileAge(At("missing.htm")), std::nullopt);
}

TEST(CurrentDir, IsTheProcessCurrentDirectory) {
  EXPECT_EQ(GetCurrentDir(), std::filesystem::current_path().string());
  EXPECT_EQ(ExpandFileName("."), GetCurrentDir());
}

}  // namespace
}  // namespace quorvin::host
