#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include <unistd.h>

// What the server fuzzers share: a document root made once per process, with secrets placed where
// no answer may ever reach them, and a way to fail loudly.
namespace quorvin::fuzz {

// A finding: says what broke and stops the process, so that libFuzzer keeps the input.
[[noreturn]] inline void Finding(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** FINDING: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(std::min<std::size_t>(detail.size(), 4000)),
                 detail.data());
  }
  std::abort();
}

inline void Check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) Finding(what, detail);
}

// Plain byte search. The fuzzers' own checks must not hand libFuzzer the secrets they look for:
// its memmem and strstr hooks would add the needle to the dictionary and the fuzzer would then
// "find" the secret by sending it itself.
inline bool Holds(std::string_view hay, std::string_view needle) {
  if (needle.empty() || hay.size() < needle.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && hay[i + k] == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

// The document root of a fuzzing process:
//   <base>/site/              the root: index.htm, page.htm, empty.txt, docs/index.htm,
//                             sub/ok.txt, a FIFO, and the dot-files .hidden, .git/config,
//                             sub/.env
//   <base>/canary.txt         outside the root
//   <base>/site2/canary.txt   a sibling whose name starts with the root's name
//   <base>/site.htm           the root's name with an extension
// Each secret is a random token, new for every process, so that no input can carry it by chance.
class FuzzSite {
 public:
  static const FuzzSite& Instance() {
    // Never destroyed: the removal of the folder at exit still reads it.
    static const FuzzSite* const site = new FuzzSite();
    return *site;
  }

  std::string base;
  std::string root;
  std::string canary;      // the content of every file outside the root
  std::string dot_secret;  // the content of every dot-file and of files in dot-folders
  std::string index_text = "<html>home</html>";
  std::string page_text = "<html>page</html>";
  std::string docs_text = "<html>docs</html>";
  std::string ok_text = "ok";

  // The secrets, for scanning an answer.
  bool Leaks(std::string_view answer) const {
    return Holds(answer, canary) || Holds(answer, dot_secret);
  }

 private:
  FuzzSite() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^
                        static_cast<std::uint64_t>(::getpid()));
    canary = "QVCANARY" + Hex(gen()) + Hex(gen());
    dot_secret = "QVDOTSECRET" + Hex(gen()) + Hex(gen());
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorvin-fuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) Finding("cannot make the fuzzing folder");
    base = tmpl;
    root = base + "/site";
    Write("site/index.htm", index_text);
    Write("site/page.htm", page_text);
    Write("site/empty.txt", "");
    Write("site/docs/index.htm", docs_text);
    Write("site/sub/ok.txt", ok_text);
    Write("site/.hidden", dot_secret);
    Write("site/.git/config", dot_secret);
    Write("site/sub/.env", dot_secret);
    Write("canary.txt", canary);
    Write("site2/canary.txt", canary);
    Write("site.htm", canary);
    ::mkfifo((root + "/pipe").c_str(), 0600);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Instance().base, ec);
    });
  }

  void Write(const std::string& relative, std::string_view content) const {
    const std::filesystem::path p = std::filesystem::path(base) / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }

  static std::string Hex(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
  }
};

// Reads an input as a few control bytes followed by data: the fuzzers take their choices (flags,
// where to cut the data into reads) from the front and feed the rest.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::string_view Rest() const {
    return {reinterpret_cast<const char*>(data_ + pos_), size_ - std::min(pos_, size_)};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace quorvin::fuzz
