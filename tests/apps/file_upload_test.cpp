// The upload action of quorvin-serve --upload on a real server module and dispatcher, over real
// sockets on 127.0.0.1 and the real loop: what each PUT leaves in the served folder, byte for
// byte, and that a refused, oversized or cut upload leaves nothing at all.
#include "file_upload.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/platform/web/web_dispatcher.h"

#include "server_test_support.h"

namespace quorvin::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What quorvin-serve makes of --upload: a dispatcher (here without other actions) and a server
// module on `root` that keeps connections, so that HTTP/1.1 bodies may come in chunks.
class UploadServer {
 public:
  UploadServer(const std::string& root, bool upload, bool overwrite, int max_body = 16 << 20) {
    web::TWebDispatcher::Class();
    const platform::Json props = {
        {"ServerRoot", root}, {"ServerPort", 0}, {"KeepAlive", 1}, {"MaxBody", max_body}};
    const platform::Json doc = {
        {"form", "Main"},
        {"components",
         {{{"class", "TWebDispatcher"}, {"name", "Web"}},
          {{"class", ModuleClass()}, {"name", "Server"}, {"properties", props}}}}};
    form_ = platform::LoadFormText(doc.dump(), "test form");
    module_ = dynamic_cast<server::ServerModule*>(form_->Components(1));
    if (upload) {
      apps::AddUploadAction(*module_->Dispatcher,
                            {module_->ListenerSettings()->RootPath(), overwrite});
    }
  }

  int Port() { return module_->ListenerSettings()->ListenPort(); }

  int LiveConnections() { return module_->ListenerSettings()->OpenConnections(); }

 private:
  std::unique_ptr<platform::TComponent> form_;
  server::ServerModule* module_ = nullptr;
};

enum class Framing { kLength, kChunked };

// A request with `body` to `target` on a connection that closes after the answer: announced
// with its length, or in chunks of changing size.
std::string BodyRequest(std::string_view method, std::string_view target, const std::string& body,
                        Framing framing, std::string_view content_type = {}) {
  std::string request = std::string(method) + " " + std::string(target) +
                        " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n";
  if (!content_type.empty()) request += "Content-Type: " + std::string(content_type) + "\r\n";
  if (framing == Framing::kLength) {
    return request + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  request += "Transfer-Encoding: chunked\r\n\r\n";
  std::size_t n = 1;
  for (std::size_t at = 0; at < body.size(); at += n, n = n * 3 % 50000 + 1) {
    n = std::min(n, body.size() - at);
    std::ostringstream size;
    size << std::hex << n;
    request += size.str() + "\r\n" + body.substr(at, n) + "\r\n";
  }
  return request + "0\r\n\r\n";
}

std::string PutRequest(std::string_view target, const std::string& body, Framing framing) {
  return BodyRequest("PUT", target, body, framing);
}

// Every entry below `root` with what it holds: a file's bytes, "<folder>" or "-> where" for a
// link. Compared before and after, it shows all that an upload left, temporary files included.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      tree[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      tree[name] = "<folder>";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      tree[name] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return tree;
}

// A site with a file, a folder and a link to a folder outside the root.
void WriteUploadSite(const TempDir& root, const TempDir& outside) {
  root.Write("old.txt", "old content");
  root.Write("docs/keep.txt", "kept");
  root.MakeDir("docs/a folder with a longer name");
  root.Write(".git/config", "secret");
  fs::create_directory_symlink(outside.Path(), root.Path() / "out");
}

struct PutCase {
  const char* name;
  const char* target;  // as sent
  bool overwrite;
  int status;
  const char*
      stored;  // the file that then holds the body (relative to the root); null: nothing changed
};

class UploadPut : public ::testing::TestWithParam<PutCase> {};

TEST_P(UploadPut, LeavesTheBodyOrNothing) {
  const PutCase& c = GetParam();
  for (const Framing framing : {Framing::kLength, Framing::kChunked}) {
    SCOPED_TRACE(framing == Framing::kLength ? "with its length" : "in chunks");
    TempDir root;
    TempDir outside;
    WriteUploadSite(root, outside);
    auto want = Tree(root.Path());
    UploadServer server(root.Str(), true, c.overwrite);
    const std::string body("new\0body\r\n", 10);
    const ParsedAnswer answer =
        ParseAnswer(Fetch(server.Port(), PutRequest(c.target, body, framing)).answer);
    EXPECT_EQ(answer.status_line.substr(9, 3), std::to_string(c.status))
        << answer.status_line << answer.body;
    EXPECT_EQ(answer.Header("Location"), c.status == 201 ? c.target : "");
    if (c.stored != nullptr) want[c.stored] = body;
    EXPECT_EQ(Tree(root.Path()), want);
    EXPECT_TRUE(fs::is_empty(outside.Path()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    , UploadPut,
    ::testing::Values(
        PutCase{"NewFileCreated", "/docs/new.txt", false, 201, "docs/new.txt"},
        PutCase{"EncodedNameDecoded", "/docs/a%20b%25.txt", false, 201, "docs/a b%.txt"},
        PutCase{"ExistingFileKept", "/old.txt", false, 409, nullptr},
        PutCase{"ExistingFileReplacedWithOverwrite", "/old.txt", true, 204, "old.txt"},
        PutCase{"NewFileWithOverwrite", "/new.txt", true, 201, "new.txt"},
        PutCase{"ParentSegment", "/../x.txt", false, 403, nullptr},
        PutCase{"EncodedParentSegment", "/%2e%2e/x.txt", false, 403, nullptr},
        PutCase{"ParentSegmentInside", "/docs/../x.txt", false, 403, nullptr},
        PutCase{"CurrentSegment", "/./x.txt", false, 403, nullptr},
        PutCase{"DotName", "/.hidden", false, 403, nullptr},
        PutCase{"DotFolder", "/.git/config", true, 403, nullptr},
        PutCase{"LinkOutOfTheRoot", "/out/x.txt", false, 403, nullptr},
        PutCase{"MissingFolder", "/missing/x.txt", false, 409, nullptr},
        PutCase{"FolderName", "/docs", true, 409, nullptr},
        PutCase{"FolderPath", "/docs/", false, 409, nullptr},
        PutCase{"Root", "/", false, 409, nullptr}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Large bodies with every byte value reach their file unchanged, however they are framed; an
// empty body makes an empty file.
TEST(Upload, BodiesArriveByteForByte) {
  std::string big(3 << 20, '\0');
  const std::string empty;
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i % 5 == 0 ? 0 : (i * 7) >> 2);
  TempDir root;
  UploadServer server(root.Str(), true, false);
  int n = 0;
  for (const std::string* body : {&std::as_const(big), &empty}) {
    for (const Framing framing : {Framing::kLength, Framing::kChunked}) {
      const std::string name = "f" + std::to_string(++n) + ".bin";
      SCOPED_TRACE(name);
      const Exchange put = Fetch(server.Port(), {PutRequest("/" + name, *body, framing)}, 20s);
      EXPECT_EQ(ParseAnswer(put.answer).status_line.substr(9, 3), "201");
      std::ifstream in(root.Path() / name, std::ios::binary);
      const std::string stored{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
      EXPECT_EQ(stored.size(), body->size());
      EXPECT_TRUE(stored == *body) << "the stored file differs from the body";
    }
  }
  // A PUT without any body at all is an empty file too.
  const Exchange bare =
      Fetch(server.Port(), "PUT /bare.txt HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(ParseAnswer(bare.answer).status_line.substr(9, 3), "201");
  EXPECT_EQ(fs::file_size(root.Path() / "bare.txt"), 0U);
}

// The server's own limit: a body beyond MaxBody is answered 413, announced or found out in
// chunks, and nothing of it stays; one at the limit is stored.
TEST(Upload, BodiesBeyondTheLimitLeaveNothing) {
  constexpr int kLimit = 64 * 1024;
  TempDir root;
  root.Write("old.txt", "old");
  const auto before = Tree(root.Path());
  UploadServer server(root.Str(), true, true, kLimit);
  const std::string over(kLimit + 1, 'x');
  const Exchange announced =
      Fetch(server.Port(), "PUT /big.bin HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                               std::to_string(over.size()) + "\r\n\r\n");
  EXPECT_EQ(ParseAnswer(announced.answer).status_line.substr(9, 3), "413");
  const Exchange chunked = Fetch(server.Port(), PutRequest("/big.bin", over, Framing::kChunked));
  EXPECT_EQ(ParseAnswer(chunked.answer).status_line.substr(9, 3), "413");
  EXPECT_TRUE(
      net::Application::Instance().RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
  EXPECT_EQ(Tree(root.Path()), before);
  const Exchange at_limit =
      Fetch(server.Port(), PutRequest("/old.txt", over.substr(1), Framing::kChunked));
  EXPECT_EQ(ParseAnswer(at_limit.answer).status_line.substr(9, 3), "204");
  EXPECT_EQ(fs::file_size(root.Path() / "old.txt"), static_cast<std::uintmax_t>(kLimit));
}

// An upload cut off halfway: while its body arrives it is a hidden file in the target's folder
// that grows (the body goes straight there, not through memory), and once the client has gone
// nothing of it is left.
TEST(Upload, ACutUploadLeavesNothing) {
  for (const Framing framing : {Framing::kLength, Framing::kChunked}) {
    SCOPED_TRACE(framing == Framing::kLength ? "with its length" : "in chunks");
    TempDir root;
    root.Write("docs/keep.txt", "kept");
    const auto before = Tree(root.Path());
    UploadServer server(root.Str(), true, false);
    const std::string request = PutRequest("/docs/cut.bin", std::string(1 << 20, 'c'), framing);
    const std::string half = request.substr(0, request.size() / 2);
    const auto temporary = [&]() -> std::uintmax_t {
      for (const auto& entry : fs::directory_iterator(root.Path() / "docs")) {
        if (entry.path().filename().string().rfind(".upload-", 0) == 0) return entry.file_size();
      }
      return 0;
    };
    std::atomic<bool> sent{false};
    std::atomic<bool> cut{false};
    std::thread client([&] {
      RawClient c(server.Port());
      c.Send(half);
      sent = true;
      while (!cut) std::this_thread::sleep_for(1ms);
    });
    auto& app = net::Application::Instance();
    // Of the half sent, the head and at most a chunk's framing are not body.
    EXPECT_TRUE(
        app.RunUntil([&] { return sent && temporary() + 64 * 1024 >= half.size() - 200; }, 10s))
        << temporary() << " bytes in the temporary file";
    EXPECT_FALSE(fs::exists(root.Path() / "docs/cut.bin"));
    cut = true;
    client.join();
    EXPECT_TRUE(app.RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
    EXPECT_EQ(Tree(root.Path()), before);
  }
}

// Without the upload action a PUT is what it always was: nobody takes it, and nothing is written.
TEST(Upload, WithoutTheActionAPutIsRefused) {
  TempDir root;
  root.Write("old.txt", "old");
  const auto before = Tree(root.Path());
  UploadServer server(root.Str(), false, false);
  for (const char* target : {"/new.txt", "/old.txt"}) {
    const ParsedAnswer answer =
        ParseAnswer(Fetch(server.Port(), PutRequest(target, "body", Framing::kLength)).answer);
    EXPECT_EQ(answer.status_line.substr(9, 3), "501") << target;
  }
  EXPECT_EQ(Tree(root.Path()), before);
}

// One part of a posted form: a field (no file name) or a file.
struct FormPart {
  std::string name;
  std::optional<std::string> file_name;
  std::string content;
};

constexpr std::string_view kBoundary = "----QuorvinTestBoundaryx7MA4YWxk";
const std::string kFormType = "multipart/form-data; boundary=" + std::string(kBoundary);

// The body a browser sends for `parts`; without its closing boundary line when not `closed`.
std::string FormBody(const std::vector<FormPart>& parts, bool closed = true) {
  std::string body;
  for (const FormPart& part : parts) {
    body += "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
            part.name + "\"";
    if (part.file_name) {
      body += "; filename=\"" + *part.file_name + "\"\r\nContent-Type: application/octet-stream";
    }
    body += "\r\n\r\n" + part.content + "\r\n";
  }
  if (closed) body += "--" + std::string(kBoundary) + "--\r\n";
  return body;
}

// A few MB with every byte value, NUL bytes among them, and lines that come near a boundary.
const std::string& BigContent() {
  static const std::string big = [] {
    std::string bytes(3 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i % 7 == 0 ? 0 : (i * 13) >> 3);
    for (std::size_t at = 1000; at + 64 < bytes.size(); at += 100000)
      bytes.replace(at, 6 + kBoundary.size() - 1,
                    "\r\n--" + std::string(kBoundary).substr(1) + "\r\n");
    return bytes;
  }();
  return big;
}

// The names in a tree with the size of each, for a failure message that fits on a screen.
std::string Listed(const std::map<std::string, std::string>& tree) {
  std::string out;
  for (const auto& [name, content] : tree)
    out += name + " (" + std::to_string(content.size()) + ")\n";
  return out;
}

struct FormCase {
  const char* name;
  const char* target;
  std::vector<FormPart> parts;
  bool overwrite;
  int status;
  std::map<std::string, std::string> stored;  // the files then new or changed, by path
  const char* says;                           // in the answer's text
  bool closed = true;
};

std::vector<FormCase> FormCases() {
  const std::string nul("x\0y\r\n", 5);
  return {
      {"TwoFilesAndAFieldStoredByteForByte",
       "/docs/",
       {{"files", "big.bin", BigContent()},
        {"note", std::nullopt, "hello"},
        {"files", "a b.txt", nul}},
       false,
       303,
       {{"docs/big.bin", BigContent()}, {"docs/a b.txt", nul}},
       "2 files stored"},
      {"FolderWithoutItsSlash",
       "/docs",
       {{"f", "n.txt", "n"}},
       false,
       303,
       {{"docs/n.txt", "n"}},
       "1 file stored"},
      {"FolderWithAnEncodedName",
       "/docs/a%20folder%20with%20a%20longer%20name/",
       {{"f", "n.txt", "n"}},
       false,
       303,
       {{"docs/a folder with a longer name/n.txt", "n"}},
       "1 file stored"},
      {"PathsInNamesLeaveTheirLastName",
       "/docs/",
       {{"f", "../x.txt", "x"}, {"f", "C:\\dir\\y.txt", "y"}, {"f", "../../etc/z", "z"}},
       false,
       303,
       {{"docs/x.txt", "x"}, {"docs/y.txt", "y"}, {"docs/z", "z"}},
       "3 files stored"},
      {"AnEmptyFileStoredAnEmptyInputIgnored",
       "/",
       {{"files", "", ""}, {"files", "zero.txt", ""}},
       false,
       303,
       {{"zero.txt", ""}},
       "1 file stored"},
      {"ExistingNameRefusedAndNothingElseStored",
       "/",
       {{"f", "fresh.txt", "fresh"}, {"f", "old.txt", "new"}, {"f", "late.txt", "late"}},
       false,
       409,
       {},
       "\"old.txt\": a file of this name exists"},
      {"ExistingNameReplacedWithOverwrite",
       "/",
       {{"f", "fresh.txt", "fresh"}, {"f", "old.txt", "new"}},
       true,
       303,
       {{"fresh.txt", "fresh"}, {"old.txt", "new"}},
       "2 files stored"},
      {"NameOfAFolderRefused", "/", {{"f", "docs", "x"}}, true, 409, {}, "\"docs\": a folder"},
      {"TwoFilesOfOneName",
       "/",
       {{"f", "a.txt", "1"}, {"f", "dir/a.txt", "2"}},
       false,
       409,
       {},
       "\"a.txt\": the form holds two files of this name"},
      {"DotNameRefused",
       "/docs/",
       {{"f", "ok.txt", "ok"}, {"f", ".env", "A=1"}},
       false,
       403,
       {},
       "\".env\": this name may not be written"},
      {"DotsOnlyRefused", "/", {{"f", "..", "x"}}, false, 403, {}, "\"..\": this name"},
      {"ContentWithoutAName", "/", {{"f", "", "x"}}, false, 403, {}, "a file without a name"},
      {"FieldsOnly",
       "/",
       {{"a", std::nullopt, "1"}, {"files", "", ""}},
       false,
       400,
       {},
       "the form holds no file"},
      {"BodyWithoutItsEnd",
       "/",
       {{"f", "whole.txt", "whole"}, {"f", "cut.txt", "cu"}},
       false,
       400,
       {},
       "the form could not be read: the body ends before its closing boundary",
       false},
  };
}

// A failure names the case, not the bytes of its object.
void PrintTo(const FormCase& c, std::ostream* os) {
  *os << c.name;
}

class FormPost : public ::testing::TestWithParam<FormCase> {};

// A form posted to a folder stores every file it holds, or none; the answer says which and why.
TEST_P(FormPost, StoresEveryFileOrNone) {
  const FormCase& c = GetParam();
  for (const Framing framing : {Framing::kLength, Framing::kChunked}) {
    SCOPED_TRACE(framing == Framing::kLength ? "with its length" : "in chunks");
    TempDir root;
    TempDir outside;
    WriteUploadSite(root, outside);
    auto want = Tree(root.Path());
    UploadServer server(root.Str(), true, c.overwrite);
    const Exchange exchange = Fetch(
        server.Port(),
        {BodyRequest("POST", c.target, FormBody(c.parts, c.closed), framing, kFormType)}, 20s);
    const ParsedAnswer answer = ParseAnswer(exchange.answer);
    EXPECT_EQ(answer.status_line.substr(9, 3), std::to_string(c.status))
        << answer.status_line << answer.body;
    EXPECT_NE(answer.body.find(c.says), std::string::npos) << answer.body;
    // Back to the folder, as its listing names it.
    std::string folder = c.target;
    if (folder.back() != '/') folder += '/';
    EXPECT_EQ(answer.Header("Location"), c.status == 303 ? folder : "");
    for (const auto& [path, content] : c.stored) want[path] = content;
    const auto got = Tree(root.Path());
    EXPECT_TRUE(got == want) << "got\n" << Listed(got) << "wanted\n" << Listed(want);
    EXPECT_TRUE(fs::is_empty(outside.Path()));
  }
}

INSTANTIATE_TEST_SUITE_P(, FormPost, ::testing::ValuesIn(FormCases()),
                         [](const auto& tc) { return std::string(tc.param.name); });

// A form that cannot be read is refused whole, whichever part of it fails, after a file part
// that was whole.
TEST(UploadForm, MalformedFormsStoreNothing) {
  struct Case {
    std::string type;
    std::string tail;  // after a whole file part
    const char* says;
  };

  const std::string delimiter = "--" + std::string(kBoundary);
  const Case cases[] = {
      {"multipart/form-data", delimiter + "--\r\n", "no usable boundary"},
      {kFormType, delimiter + "\r\nContent-Disposition: form-data; name=\"f\"\n\r\nx\r\n",
       "bare LF"},
      {kFormType, delimiter + "\r\nContent-Type: text/plain\r\n\r\nx\r\n" + delimiter + "--",
       "no Content-Disposition"},
      {kFormType, delimiter + "garbage\r\n", "boundary line goes on"},
  };
  TempDir root;
  TempDir outside;
  WriteUploadSite(root, outside);
  const auto before = Tree(root.Path());
  UploadServer server(root.Str(), true, false);
  const std::string whole = FormBody({{"f", "whole.txt", "whole"}}, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const ParsedAnswer answer =
        ParseAnswer(Fetch(server.Port(),
                          BodyRequest("POST", "/docs/", whole + c.tail, Framing::kLength, c.type))
                        .answer);
    EXPECT_EQ(answer.status_line.substr(9, 3), "400") << answer.status_line;
    EXPECT_NE(answer.body.find("the form could not be read: "), std::string::npos) << answer.body;
    EXPECT_NE(answer.body.find(c.says), std::string::npos) << answer.body;
  }
  EXPECT_EQ(Tree(root.Path()), before);
}

// A POST that is not a form to a folder is answered as it is without uploads, and writes nothing.
TEST(UploadForm, OtherPostsAreLeftToTheServer) {
  struct Case {
    const char* target;
    std::string type;
  };

  const Case cases[] = {{"/old.txt", kFormType},  {"/missing/", kFormType},
                        {"/.git/", kFormType},    {"/out/", kFormType},
                        {"/docs/", "text/plain"}, {"/docs/", "application/x-www-form-urlencoded"}};
  TempDir root;
  TempDir outside;
  WriteUploadSite(root, outside);
  const auto before = Tree(root.Path());
  UploadServer with(root.Str(), true, false);
  UploadServer without(root.Str(), false, false);
  const std::string body = FormBody({{"f", "x.txt", "x"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + c.type);
    const auto status = [&](UploadServer& server) {
      return ParseAnswer(
                 Fetch(server.Port(), BodyRequest("POST", c.target, body, Framing::kLength, c.type))
                     .answer)
          .status_line;
    };
    const std::string expected = status(without);
    EXPECT_NE(expected.substr(9, 1), "2") << expected;
    EXPECT_EQ(status(with), expected);
  }
  EXPECT_EQ(Tree(root.Path()), before);
  EXPECT_TRUE(fs::is_empty(outside.Path()));
}

// A form cut off in its second file: the first, whole, waited under a temporary name and goes
// with the second's; nothing of the request is left.
TEST(UploadForm, ACutFormLeavesNothing) {
  TempDir root;
  root.Write("docs/keep.txt", "kept");
  const auto before = Tree(root.Path());
  UploadServer server(root.Str(), true, false);
  const std::string request =
      BodyRequest("POST", "/docs/",
                  FormBody({{"f", "first.bin", std::string(256 << 10, 'a')},
                            {"f", "second.bin", std::string(1 << 20, 'b')}}),
                  Framing::kLength, kFormType);
  const std::string half = request.substr(0, request.size() / 2);
  const auto temporaries = [&] {
    int n = 0;
    for (const auto& entry : fs::directory_iterator(root.Path() / "docs"))
      n += entry.path().filename().string().starts_with(".upload-") ? 1 : 0;
    return n;
  };
  std::atomic<bool> sent{false};
  std::atomic<bool> cut{false};
  std::thread client([&] {
    RawClient c(server.Port());
    c.Send(half);
    sent = true;
    while (!cut) std::this_thread::sleep_for(1ms);
  });
  auto& app = net::Application::Instance();
  EXPECT_TRUE(app.RunUntil([&] { return sent && temporaries() == 2; }, 10s)) << temporaries();
  cut = true;
  client.join();
  EXPECT_TRUE(app.RunUntil([&] { return server.LiveConnections() == 0; }, 10s));
  EXPECT_EQ(Tree(root.Path()), before);
}

}  // namespace
}  // namespace quorvin::testing
