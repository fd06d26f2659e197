// The fuzzers' checks over the checked-in inputs, in every build: the seed corpora and the inputs
// of past findings (tests/fuzz/regressions/<fuzzer>/). A failing check stops the test binary
// with the fuzzer's own message.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quorvin::fuzz {
int ServerRequestOne(const std::uint8_t* data, std::size_t size);
int UrlPathOne(const std::uint8_t* data, std::size_t size);
int ClientResponseOne(const std::uint8_t* data, std::size_t size);
int FormFileOne(const std::uint8_t* data, std::size_t size);
int MultipartOne(const std::uint8_t* data, std::size_t size);
}  // namespace quorvin::fuzz

namespace {

struct Fuzzer {
  const char* name;   // the folder of its inputs
  const char* label;  // the test's name
  int (*one)(const std::uint8_t*, std::size_t);
};

void PrintTo(const Fuzzer& f, std::ostream* os) {
  *os << f.name;
}

class FuzzReplay : public ::testing::TestWithParam<Fuzzer> {};

// Every file of the fuzzer's folders under `kind` (corpus, regressions).
std::vector<std::filesystem::path> Inputs(const char* fuzzer, const char* kind) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path dir = std::filesystem::path(QUORVIN_FUZZ_DIR) / kind / fuzzer;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

std::string Bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_P(FuzzReplay, SeedsAndRegressionsPass) {
  const auto seeds = Inputs(GetParam().name, "corpus");
  EXPECT_FALSE(seeds.empty()) << "no seed corpus for " << GetParam().name;
  for (const char* kind : {"corpus", "regressions"}) {
    for (const auto& file : Inputs(GetParam().name, kind)) {
      SCOPED_TRACE(file.string());
      const std::string bytes = Bytes(file);
      EXPECT_EQ(GetParam().one(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    , FuzzReplay,
    ::testing::Values(Fuzzer{"server_request", "ServerRequest", quorvin::fuzz::ServerRequestOne},
                      Fuzzer{"url_path", "UrlPath", quorvin::fuzz::UrlPathOne},
                      Fuzzer{"client_response", "ClientResponse", quorvin::fuzz::ClientResponseOne},
                      Fuzzer{"form_file", "FormFile", quorvin::fuzz::FormFileOne},
                      Fuzzer{"multipart", "Multipart", quorvin::fuzz::MultipartOne}),
    [](const auto& p) { return std::string(p.param.label); });

}  // namespace
