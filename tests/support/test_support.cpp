#include "test_support.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace quorvin::testing {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quorvin-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::Write(std::string_view relative, std::string_view content) const {
  const auto file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return file;
}

std::filesystem::path TempDir::MakeDir(std::string_view relative) const {
  const auto dir = path_ / relative;
  std::filesystem::create_directories(dir);
  return dir;
}

MessageCapture::MessageCapture() {
  previous_ = platform::SetMessageSink([this](std::string_view text, std::string_view title) {
    shown_.emplace_back(std::string(text), std::string(title));
  });
}

MessageCapture::~MessageCapture() { platform::SetMessageSink(std::move(previous_)); }

std::string SourceDir() { return QUORVIN_SOURCE_DIR; }

}  // namespace quorvin::testing
