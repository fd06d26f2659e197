#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/unnamed_file.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "test_support.h"

namespace quorvin::platform {
namespace {

std::string ReadAll(TStream& s, std::int64_t count) {
  std::string out(static_cast<std::size_t>(count), '\0');
  out.resize(static_cast<std::size_t>(s.Read(out.data(), count)));
  return out;
}

TEST(MemoryStream, ReadsWritesAndSeeks) {
  TMemoryStream s;
  s.WriteText("hello world");
  EXPECT_EQ(s.Position(), 11);
  EXPECT_EQ(s.Size(), 11);
  EXPECT_EQ(ReadAll(s, 5), "");  // at the end
  s.SetPosition(0);
  EXPECT_EQ(ReadAll(s, 5), "hello");
  EXPECT_EQ(s.Seek(-5, TSeekOrigin::soEnd), 6);
  EXPECT_EQ(ReadAll(s, 100), "world");
  EXPECT_EQ(s.Seek(-6, TSeekOrigin::soCurrent), 5);

  // Overwriting in the middle keeps the size; writing past the end fills the gap with zeros.
  s.WriteText("_");
  EXPECT_EQ(s.View(), "hello_world");
  s.Seek(2, TSeekOrigin::soEnd);
  s.WriteText("!");
  EXPECT_EQ(s.View(), std::string("hello_world\0\0!", 14));

  s.SetSize(5);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.View(), "hello");
  char c;
  EXPECT_THROW(s.ReadBuffer(&c, 1), std::runtime_error);
}

TEST(MemoryStream, CopyFromTakesTheWholeSourceWhenCountIsZero) {
  TMemoryStream source, target;
  source.WriteText("abcdef");
  source.SetPosition(4);
  EXPECT_EQ(target.CopyFrom(source, 0), 6);
  EXPECT_EQ(target.View(), "abcdef");
  source.SetPosition(1);
  EXPECT_EQ(target.CopyFrom(source, 2), 2);
  EXPECT_EQ(target.View(), "abcdefbc");
  EXPECT_THROW(target.CopyFrom(source, 10), std::runtime_error);
}

TEST(FileStream, WritesAndReadsAFile) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "data.bin").string();
  {
    TFileStream out(path, fmCreate);
    out.WriteText(std::string("line one\n\0binary", 16));
    EXPECT_EQ(out.Size(), 16);
  }
  TFileStream in(path, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(in.FileName(), path);
  EXPECT_EQ(in.Size(), 16);
  EXPECT_EQ(in.Position(), 0);  // Size does not move the position
  EXPECT_EQ(ReadAll(in, 8), "line one");
  in.Seek(-6, TSeekOrigin::soEnd);
  EXPECT_EQ(ReadAll(in, 100), "binary");
  EXPECT_EQ(ReadAll(in, 100), "");
  // A stream opened for reading refuses writes.
  EXPECT_THROW(in.WriteText("x"), std::system_error);

  TMemoryStream copy;
  copy.LoadFromFile(path);
  EXPECT_EQ(copy.View(), std::string("line one\n\0binary", 16));
  EXPECT_EQ(copy.Position(), 0);
}

TEST(FileStream, MissingFileRaisesAnErrorNamingIt) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "no-such-file.htm").string();
  try {
    TFileStream s(path, fmOpenRead | fmShareDenyWrite);
    FAIL() << "opened a missing file";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  TMemoryStream m;
  EXPECT_THROW(m.LoadFromFile(path), std::system_error);
}

// A file stream answers its position without asking the system: whatever moved it, the answer
// has to be the system's.
TEST(FileStream, KnowsItsPositionAsTheSystemDoes) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "data.bin").string();
  {
    TFileStream out(path, fmCreate);
    out.WriteText("0123456789");
    EXPECT_EQ(out.Position(), ::lseek(out.Handle(), 0, SEEK_CUR));
  }
  auto in = TFileStream::TryOpen(path, fmOpenRead);
  ASSERT_NE(in, nullptr);
  const auto system = [&] { return static_cast<std::int64_t>(::lseek(in->Handle(), 0, SEEK_CUR)); };
  EXPECT_EQ(ReadAll(*in, 3), "012");
  EXPECT_EQ(in->Position(), system());
  in->Seek(-2, TSeekOrigin::soEnd);
  EXPECT_EQ(in->Position(), 8);
  EXPECT_EQ(in->Position(), system());
  in->SetPosition(8);  // where it stands already
  EXPECT_EQ(ReadAll(*in, 100), "89");
  EXPECT_EQ(in->Position(), system());
  EXPECT_EQ(in->Size(), 10);
  EXPECT_EQ(in->Position(), system());

  // An opener that checked the file may cut it: it then ends there, whatever follows.
  in->SetRegular();
  in->SetLimit(4);
  in->SetPosition(2);
  EXPECT_EQ(in->Size(), 4);
  EXPECT_EQ(ReadAll(*in, 100), "23");

  errno = 0;
  EXPECT_EQ(TFileStream::TryOpen((dir.Path() / "missing").string(), fmOpenRead), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// A pipe has no length until it ends: Size() says -1 instead of failing, whether the handle
// came from pipe() or was opened by name, and the bytes are read as they come.
TEST(HandleStream, APipeHasNoSizeAndIsReadToItsEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  THandleStream raw(fds[0]);
  EXPECT_EQ(raw.Size(), -1);
  auto named = TFileStream::TryOpen("/dev/fd/" + std::to_string(fds[0]), fmOpenRead);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->Size(), -1);
  ::close(fds[1]);
  EXPECT_EQ(ReadAll(*named, 10), "abc");
  EXPECT_EQ(ReadAll(raw, 10), "");
  ::close(fds[0]);
}

// A file without a name: written, rewound and read like any file, and nothing of it is in the
// folder.
TEST(HandleStream, UnnamedFileLeavesNothingInItsFolder) {
  testing::TempDir dir;
  auto file = OpenUnnamedFile(dir.Str());
  ASSERT_NE(file, nullptr);
  file->WriteText(std::string("x\0y", 3));
  EXPECT_EQ(file->Size(), 3);
  file->SetPosition(0);
  EXPECT_EQ(ReadAll(*file, 10), std::string("x\0y", 3));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  errno = 0;
  EXPECT_EQ(OpenUnnamedFile(dir.Str() + "/missing"), nullptr);
  EXPECT_NE(errno, 0);
}

}  // namespace
}  // namespace quorvin::platform
