#include "quorvin/platform/web/web_request.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/platform/web/web_error.h"

#include "fake_web.h"

namespace quorvin::web {
namespace {

using testing::FakeRequest;

// Every line of a field list, to compare whole lists in one go.
std::vector<std::string> Lines(const platform::TStringList& list) {
  return {list.begin(), list.end()};
}

TEST(WebRequest, ConstructionReadsNoVariable) {
  FakeRequest request;
  EXPECT_EQ(request.reads, 0);
}

TEST(WebRequest, QueryFieldsAreDecodedWithPlusAsBlank) {
  FakeRequest request;
  request.vars[kReqQuery] = "a=1&b=x+y&c=%41%3d&&d&e=&%6eame=v%2Bw&a=2";
  EXPECT_EQ(Lines(request.QueryFields()),
            (std::vector<std::string>{"a=1", "b=x y", "c=A=", "d=", "e=", "name=v+w", "a=2"}));
  EXPECT_EQ(request.QueryFields().Values("A"), "1");  // the first of a repeated name
  EXPECT_EQ(request.QueryFields().Values("c"), "A=");

  FakeRequest no_query;
  EXPECT_EQ(no_query.QueryFields().Count(), 0);
}

TEST(WebRequest, ContentFieldsOnlyFromAFormBody) {
  struct Case {
    const char* content_type;
    std::vector<std::string> fields;
  };

  const Case cases[] = {
      {"application/x-www-form-urlencoded", {"user=Jo Ann", "pw=a&b"}},
      {"Application/X-WWW-Form-Urlencoded; charset=UTF-8", {"user=Jo Ann", "pw=a&b"}},
      {"text/plain", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content_type);
    FakeRequest request("POST", "/login");
    request.vars[kReqContentType] = c.content_type;
    request.vars[kReqContent] = "user=Jo+Ann&pw=a%26b";
    EXPECT_EQ(Lines(request.ContentFields()), c.fields);
  }
}

TEST(WebRequest, CookieFieldsFromTheCookieHeader) {
  FakeRequest request;
  request.vars[kReqCookie] = " a=1; b=two words;c=%41 ; ;flag";
  // Cookie values are not URL-encoded by the browser, so they come back as sent.
  EXPECT_EQ(Lines(request.CookieFields()),
            (std::vector<std::string>{"a=1", "b=two words", "c=%41", "flag="}));
  EXPECT_EQ(request.CookieFields().Values("B"), "two words");
}

TEST(WebRequest, MethodTypeFromTheMethodInAnyCase) {
  const std::pair<const char*, TMethodType> cases[] = {
      {"GET", TMethodType::mtGet},   {"get", TMethodType::mtGet}, {"POST", TMethodType::mtPost},
      {"HEAD", TMethodType::mtHead}, {"PUT", TMethodType::mtPut}, {"DELETE", TMethodType::mtAny},
      {"", TMethodType::mtAny},      {"GETX", TMethodType::mtAny}};
  for (const auto& [method, type] : cases) {
    SCOPED_TRACE(method);
    EXPECT_EQ(FakeRequest(method, "/").MethodType(), type);
  }
}

TEST(WebRequest, AccessorsReadTheirVariables) {
  FakeRequest request("GET", "/p");
  request.vars[kReqProtocolVersion] = "HTTP/1.0";
  request.vars[kReqQuery] = "q=1";
  request.vars[kReqContentLength] = "42";
  request.vars[kReqIfModifiedSince] = "thu, 05 mar 1998 14:07:09 gmt";
  request.vars[kReqServerPort] = "";
  EXPECT_EQ(request.Method(), "GET");
  EXPECT_EQ(request.ProtocolVersion(), "HTTP/1.0");
  EXPECT_EQ(request.PathInfo(), "/p");
  EXPECT_EQ(request.Query(), "q=1");
  EXPECT_EQ(request.ContentLength(), 42);
  EXPECT_EQ(request.ServerPort(), -1);
  EXPECT_EQ(request.IfModifiedSince(), platform::EncodeDateTime(1998, 3, 5, 14, 7, 9));
  EXPECT_EQ(request.Expires(), -1.0);
}

TEST(WebRequest, HeaderByNameReadsTheHeaderVariables) {
  FakeRequest request;
  request.vars[kReqUserAgent] = "curl/8";
  request.vars[kReqCookie] = "a=1";
  request.vars[kReqContent] = "body";
  EXPECT_EQ(RequestHeaderName(kReqUserAgent), "User-Agent");
  EXPECT_EQ(request.GetHeader("user-agent"), "curl/8");
  EXPECT_EQ(request.GetHeader("COOKIE"), "a=1");
  EXPECT_EQ(request.GetHeader("Accept"), "");
  // Neither the body nor the request-line variables are headers.
  EXPECT_EQ(request.GetHeader("Content"), "");
  EXPECT_EQ(request.GetHeader(""), "");
  EXPECT_EQ(request.GetHeader("X-Unknown"), "");
  EXPECT_EQ(RequestHeaderName(kReqMethod), "");
  EXPECT_EQ(RequestHeaderName(kReqVariableCount), "");
  EXPECT_EQ(RequestHeaderName(-1), "");
}

TEST(WebRequest, OperationsAClassDoesNotProvideRaiseNotImplemented) {
  FakeRequest request;
  char buffer[4] = {};
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"GetFieldByName", [&] { request.GetFieldByName("SERVER_SOFTWARE"); }},
      {"ReadClient", [&] { request.ReadClient(buffer, 4); }},
      {"ReadString", [&] { request.ReadString(4); }},
      {"TranslateURI", [&] { request.TranslateURI("/a"); }},
      {"WriteClient", [&] { request.WriteClient(buffer, 4); }},
      {"WriteHeaders", [&] { request.WriteHeaders(200, "OK", ""); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EWebNotImplemented& e) {
      EXPECT_NE(
          std::string(e.what()).find(std::string("TWebRequest::") + name + " is not implemented"),
          std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace quorvin::web
