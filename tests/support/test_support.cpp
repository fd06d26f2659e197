#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
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

LoopbackListener::LoopbackListener(int backlog, const char* ip, int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, ip, &address.sin_addr);
  socklen_t length = sizeof address;
  ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::listen(fd_, backlog) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  for (const int filler : fillers_) ::close(filler);
  if (fd_ >= 0) ::close(fd_);
}

void LoopbackListener::Stall() {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  for (int i = 0; i < 3; ++i) {
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
    fillers_.push_back(filler);
  }
}

int ConnectToLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void ConnectOnce(int port) {
  const int fd = ConnectToLoopback(port);
  if (fd >= 0) ::close(fd);
}

}  // namespace quorvin::testing
