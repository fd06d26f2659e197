#include "quorvin/platform/web/web_response.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "quorvin/platform/web/cookie.h"
#include "quorvin/platform/web/web_error.h"

#include "fake_web.h"

namespace quorvin::web {
namespace {

using testing::FakeRequest;
using testing::FakeResponse;

struct CookieCase {
  const char* name;
  TCookie cookie;
  const char* header;
};

class CookieHeader : public ::testing::TestWithParam<CookieCase> {};

TEST_P(CookieHeader, RendersThePartsThatAreSet) {
  EXPECT_EQ(GetParam().cookie.GetHeaderValue(), GetParam().header);
}

const platform::TDateTime kExpiry = platform::EncodeDateTime(2026, 12, 8, 21, 1, 10);

INSTANTIATE_TEST_SUITE_P(
    , CookieHeader,
    ::testing::Values(
        CookieCase{"NameAndValue", {"id", "42", "", "", -1.0, false}, "id=42"},
        CookieCase{"EmptyValue", {"id", "", "", "", -1.0, false}, "id="},
        CookieCase{
            "Everything",
            {"id", "42", "example.com", "/p", kExpiry, true},
            "id=42; path=/p; domain=example.com; expires=Tue, 08 Dec 2026 21:01:10 GMT; secure"},
        CookieCase{"ExpiresOnly",
                   {"a", "b", "", "", kExpiry, false},
                   "a=b; expires=Tue, 08 Dec 2026 21:01:10 GMT"},
        CookieCase{"EarlyDayPadded",
                   {"a", "b", "", "", platform::EncodeDateTime(2001, 2, 3, 4, 5, 6), false},
                   "a=b; expires=Sat, 03 Feb 2001 04:05:06 GMT"},
        CookieCase{"ZeroExpiryIsNone", {"a", "b", "", "", 0.0, false}, "a=b"},
        CookieCase{"NegativeExpiryIsNone", {"a", "b", "", "", -1.0, false}, "a=b"},
        CookieCase{"BeyondYear9999IsNone", {"a", "b", "", "", 3.0e6, false}, "a=b"},
        CookieCase{"SecureOnly", {"a", "b", "", "", -1.0, true}, "a=b; secure"},
        CookieCase{"DomainWithoutPath",
                   {"a", "b", ".example.com", "", -1.0, false},
                   "a=b; domain=.example.com"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(CookieCollection, KeepsCookiesInOrderAtStableAddresses) {
  TCookieCollection cookies;
  TCookie& first = cookies.Add();
  first.Name = "first";
  for (int i = 0; i < 100; ++i) cookies.Add().Name = "more";
  EXPECT_EQ(&cookies.GetCookie(0), &first);
  EXPECT_EQ(cookies.Count(), 101);
  EXPECT_EQ(cookies.Items(1).Name, "more");
  EXPECT_THROW(cookies.GetCookie(101), std::out_of_range);
  EXPECT_THROW(cookies.GetCookie(-1), std::out_of_range);
  cookies.Delete(0);
  EXPECT_EQ(cookies.Count(), 100);
  EXPECT_THROW(cookies.Delete(100), std::out_of_range);
}

class WebResponse : public ::testing::Test {
 protected:
  FakeRequest request_{"GET", "/"};
  FakeResponse response_{request_};
};

TEST_F(WebResponse, StartsWithItsRequestAndNothingElse) {
  EXPECT_EQ(&response_.Request(), &request_);
  EXPECT_EQ(response_.Cookies().Count(), 0);
  EXPECT_TRUE(response_.CustomHeaders().empty());
  EXPECT_EQ(response_.ContentStream(), nullptr);
  EXPECT_EQ(request_.reads, 0);
}

TEST_F(WebResponse, CustomHeadersRenderOneLineEachInTheOrderFirstSet) {
  response_.SetCustomHeader("X-One", "1");
  response_.SetCustomHeader("X-Two", "2");
  response_.SetCustomHeader("X-Three", "3");
  response_.SetCustomHeader("x-one", "uno");  // replaces X-One where it stands
  response_.SetCustomHeader("X-Three", "");   // removes it
  std::string headers = "HTTP/1.0 200 OK\r\n";
  response_.AddCustomHeaders(headers);
  EXPECT_EQ(headers, "HTTP/1.0 200 OK\r\nx-one: uno\r\nX-Two: 2\r\n");
  EXPECT_EQ(response_.CustomHeader("X-ONE"), "uno");
  EXPECT_EQ(response_.CustomHeader("X-Three"), "");
  ASSERT_EQ(response_.CustomHeaders().size(), 2u);
  EXPECT_EQ(response_.CustomHeaders()[1].name, "X-Two");
}

// A stream that says when it is destroyed.
class WatchedStream final : public platform::TMemoryStream {
 public:
  explicit WatchedStream(int& destroyed) : destroyed_(destroyed) {}

  ~WatchedStream() override { ++destroyed_; }

 private:
  int& destroyed_;
};

TEST(WebResponseStream, ResponseOwnsItsContentStream) {
  int destroyed = 0;
  FakeRequest request;
  {
    FakeResponse response(request);
    auto first = std::make_unique<WatchedStream>(destroyed);
    platform::TStream* raw = first.get();
    response.SetContentStream(std::move(first));
    EXPECT_EQ(response.ContentStream(), raw);
    response.SetContentStream(std::make_unique<WatchedStream>(destroyed));
    EXPECT_EQ(destroyed, 1);  // the one replaced
    response.SetContentStream(nullptr);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(response.ContentStream(), nullptr);
    response.SetContentStream(std::make_unique<WatchedStream>(destroyed));
  }
  EXPECT_EQ(destroyed, 3);  // the last one, with the response
}

TEST_F(WebResponse, AccessorsGoThroughTheVariables) {
  response_.SetContentType("text/plain");
  response_.SetTitle("T");
  response_.SetLastModified(2.5);
  response_.SetContentLength(7);
  EXPECT_EQ(response_.GetStringVariable(kRespContentType), "text/plain");
  EXPECT_EQ(response_.GetStringVariable(kRespTitle), "T");
  EXPECT_EQ(response_.GetDateVariable(kRespLastModified), 2.5);
  EXPECT_EQ(response_.GetIntegerVariable(kRespContentLength), 7);
  EXPECT_EQ(response_.Expires(), -1.0);
}

TEST_F(WebResponse, OperationsAClassDoesNotProvideRaiseNotImplemented) {
  EXPECT_FALSE(static_cast<TWebResponse&>(response_).TWebResponse::Sent());
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"GetLogMessage", [&] { response_.GetLogMessage(); }},
      {"SetLogMessage", [&] { response_.SetLogMessage("x"); }},
      {"SendRedirect", [&] { response_.SendRedirect("/elsewhere"); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EWebNotImplemented& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("TWebResponse::") + name), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace quorvin::web
