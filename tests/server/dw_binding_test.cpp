#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "server_test_support.h"

// What the second binding does differently from the first: no connection limit, no lifetime
// timer, its own stream sending, and the layer's host name in the Server header.
namespace quorvin::testing {
namespace {

using namespace std::chrono_literals;
net::Application& App() { return net::Application::Instance(); }

class DwBinding : public ::testing::Test {
 protected:
  void SetUp() override { WriteSite(root); }
  // The layer's own count of live connections.
  net::TCustomBasicServerSocket& Listener(ServerForm& f) {
    return dynamic_cast<server::ZDwServerSocket&>(f.Listener());
  }
  TempDir root;
};

TEST_F(DwBinding, MoreThanTenConnectionsAreAllServed) {
  ServerForm server(root.Str());
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 15; ++i) idle.push_back(std::make_unique<RawClient>(server.Port()));
  ASSERT_TRUE(App().RunUntil([&] { return Listener(server).ConnectionCount() == 15; }, 5s));
  // This binding keeps no count of its own: its listener reports the layer's.
  EXPECT_EQ(server.Listener().OpenConnections(), 15);
  EXPECT_EQ(ParseAnswer(server.Get("GET /page.htm HTTP/1.0\r\n\r\n").answer).body, "<html>page</html>");
}

TEST_F(DwBinding, LargeFileArrivesWholeWithOneHeading) {
  std::string big(16 * 1024 * 1024 + 123, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  root.Write("big.bin", big);
  ServerForm server(root.Str());
  const Exchange ex = server.Get("GET /big.bin HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ex.closed);
  const auto head_end = ex.answer.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_EQ(ex.answer.substr(0, 17), "HTTP/1.0 200 OK\r\n");
  // The heading went once: no second status line before the body starts.
  EXPECT_EQ(ex.answer.substr(0, head_end).find("HTTP/1.0", 1), std::string::npos);
  EXPECT_TRUE(ex.answer.compare(head_end + 4, std::string::npos, big) == 0) << "body differs";
  EXPECT_EQ(ex.answer.size(), head_end + 4 + big.size());
}

TEST_F(DwBinding, HalfARequestStaysOpenUntilTheClientCloses) {
  ServerForm server(root.Str(), {{"Timeout", 1}});  // no timer in this binding, whatever it says
  auto client = std::make_unique<RawClient>(server.Port());
  client->Send("GET /page.htm HTTP/1.0\r\n");
  App().RunFor(1500ms);
  EXPECT_EQ(Listener(server).ConnectionCount(), 1);
  client.reset();
  EXPECT_TRUE(App().RunUntil([&] { return Listener(server).ConnectionCount() == 0; }, 5s));
}

TEST_F(DwBinding, ServerHeaderCarriesTheLayersHostName) {
  ServerForm server(root.Str());
  EXPECT_EQ(ParseAnswer(server.Get("GET /page.htm HTTP/1.0\r\n\r\n").answer).Header("Server"), net::LocalHost());
}

}  // namespace
}  // namespace quorvin::testing
