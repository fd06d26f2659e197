#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "raw_client.h"
#include "test_support.h"

// What the fault tests share: a site with secrets around it, quorvin-serve on it under either
// socket binding, and plain exchanges over 127.0.0.1.
namespace quorvin::testing {

// Built with the address sanitizer, a program holds more memory (shadow memory, a larger
// allocator): memory bounds are widened by kSanitizerMiB.
inline constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif
inline constexpr long kSanitizerMiB = kSanitized ? 64 : 0;

// Secrets that no answer may carry: the content of the canary outside the root and of the
// dot-files inside it.
inline constexpr std::string_view kCanary = "CANARY-7f3a9c2e-outside-the-root";
inline constexpr std::string_view kDotSecret = "DOTSECRET-51d0b8-never-served";
inline constexpr std::string_view kPageText = "<html>page</html>";

// <base>/site is the root; the canary lies in <base>, in a sibling <base>/site2 whose name
// starts with the root's, and in <base>/site.htm.
class FaultSite {
 public:
  FaultSite() {
    dir_.Write("site/index.htm", "<html>home</html>");
    dir_.Write("site/page.htm", kPageText);
    dir_.Write("site/docs/index.htm", "<html>docs</html>");
    dir_.Write("site/sub/ok.txt", "ok");
    dir_.Write("site/.hidden", kDotSecret);
    dir_.Write("site/.git/config", kDotSecret);
    dir_.Write("site/sub/.env", kDotSecret);
    dir_.Write("canary.txt", kCanary);
    dir_.Write("site2/canary.txt", kCanary);
    dir_.Write("site.htm", kCanary);
  }

  std::string Root() const { return dir_.Str() + "/site"; }

  const TempDir& Dir() const { return dir_; }

 private:
  TempDir dir_;
};

inline bool Leaks(std::string_view answer) {
  return answer.find(kCanary) != std::string_view::npos ||
         answer.find(kDotSecret) != std::string_view::npos;
}

// One request on its own connection.
struct Reply {
  std::string answer;
  bool closed = false;  // the server closed (or reset) the connection
  double seconds = 0;   // from the last byte sent to the close

  int Status() const {  // the status code of the answer, 0 when there is none
    const bool status_line = answer.rfind("HTTP/1.0 ", 0) == 0 || answer.rfind("HTTP/1.1 ", 0) == 0;
    return status_line ? std::atoi(answer.c_str() + 9) : 0;
  }
};

// Sends `request`, optionally ends the sending side (the server then sees the end of the
// request), and reads until the server closes or `timeout` passes.
inline Reply Ask(int port, std::string_view request, bool end_sending = false,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  Reply r;
  RawClient c(port, timeout);
  if (!c.Connected()) return r;
  c.Send(request);  // a server that refuses early may stop reading: what it sends still counts
  if (end_sending) c.ShutdownWrite();
  const auto start = std::chrono::steady_clock::now();
  r.answer = c.ReadAll(&r.closed);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

// The bindings a server test runs on. A binding that is not built yet is skipped.
inline const std::vector<std::string>& Bindings() {
  static const std::vector<std::string> bindings = {"scktcomp", "dwinsock"};
  return bindings;
}

// A test on quorvin-serve over the binding of its parameter.
class ServedTest : public ::testing::TestWithParam<std::string> {
 protected:
  // Starts quorvin-serve with `options` (and a lower descriptor limit when `max_files` > 0).
  // Skips the test when the binding is not built yet.
  void StartServer(const std::vector<std::string>& options, rlim_t max_files = 0) {
    server_ = std::make_unique<ServeProcess>(GetParam(), options, max_files);
    if (server_->Start() == ServeProcess::State::kNotBuilt) {
      GTEST_SKIP() << "quorvin-serve: the " << GetParam() << " binding is not built yet";
    }
    ASSERT_EQ(server_->Start(), ServeProcess::State::kListening) << server_->Errors();
  }

  int Port() const { return server_->Port(); }

  ServeProcess& Server() { return *server_; }

  // A normal GET works: the page whole, then the close.
  void ExpectServes(const std::string& context) {
    const Reply r = Ask(Port(), "GET /page.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.Status(), 200) << context << "\n" << r.answer;
    EXPECT_TRUE(r.closed) << context;
    EXPECT_EQ(ParseAnswer(r.answer).body, kPageText) << context;
  }

  // The server is still there and stops cleanly (under the sanitizers: without a finding).
  void ExpectCleanStop() {
    ASSERT_TRUE(server_->Process().Running()) << "quorvin-serve died:\n" << server_->Errors();
    EXPECT_EQ(server_->Stop(), 0) << server_->Errors();
  }

  FaultSite site_;
  std::unique_ptr<ServeProcess> server_;
};

inline std::string BindingName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

}  // namespace quorvin::testing
