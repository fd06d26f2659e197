// Our own endpoint type: which texts are addresses, how addresses read back, and how
// endpoints compare.
#include "quorvin/platform/net/endpoint.h"

#include <sys/socket.h>

#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "loop_client.h"

namespace quorvin::net {
namespace {

struct ParseCase {
  const char* name;
  const char* text;
  bool address;       // a numeric address
  int family;         // when it is
  const char* reads;  // AddressText()
};

void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.name;
}

class EndpointParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(EndpointParse, TakesNumericAddressesOnly) {
  const ParseCase& c = GetParam();
  const std::optional<Endpoint> e = Endpoint::Parse(c.text, 8080);
  ASSERT_EQ(e.has_value(), c.address);
  if (!e) return;
  EXPECT_EQ(e->Family(), c.family);
  EXPECT_EQ(e->AddressText(), c.reads);
  EXPECT_EQ(e->Port(), 8080);
  EXPECT_EQ(e->Size(), c.family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
}

INSTANTIATE_TEST_SUITE_P(
    , EndpointParse,
    ::testing::Values(ParseCase{"V4", "192.0.2.7", true, AF_INET, "192.0.2.7"},
                      ParseCase{"V6Shortened", "2001:db8:0:0::1", true, AF_INET6, "2001:db8::1"},
                      ParseCase{"Loopback6", "::1", true, AF_INET6, "::1"},
                      // An IPv4 client of a dual-stack listener reads as the IPv4 client it is.
                      ParseCase{"V4Mapped", "::ffff:127.0.0.1", true, AF_INET6, "127.0.0.1"},
                      ParseCase{"ScopeByNumber", "fe80::1%1", true, AF_INET6, "fe80::1"},
                      ParseCase{"ScopeByName", "fe80::1%lo", true, AF_INET6, "fe80::1"},
                      ParseCase{"NoSuchInterface", "fe80::1%nosuchif9", false, 0, ""},
                      ParseCase{"ShortV4", "127.1", false, 0, ""},
                      ParseCase{"OctetTooLarge", "1.2.3.256", false, 0, ""},
                      ParseCase{"Name", "localhost", false, 0, ""},
                      ParseCase{"Blank", " 192.0.2.7", false, 0, ""},
                      ParseCase{"Empty", "", false, 0, ""}),
    testkit::ByName());

TEST(Endpoint, ComparesFamilyThenAddressThenPort) {
  const Endpoint four = *Endpoint::Parse("192.0.2.7", 80);
  const Endpoint six = *Endpoint::Parse("::1", 80);
  EXPECT_LT(four, six);
  EXPECT_LT(four, *Endpoint::Parse("192.0.2.8", 1));
  EXPECT_LT(four, four.WithPort(81));
  EXPECT_EQ(four, Endpoint::Parse("192.0.2.7", 80));
  EXPECT_NE(*Endpoint::Parse("fe80::1%1"), *Endpoint::Parse("fe80::1%2")) << "scopes differ";
  EXPECT_EQ(Endpoint::LoopbackV4(5), Endpoint::Parse("127.0.0.1", 5));

  // Made from what the system gives, an IPv6 flow label aside: the same endpoint.
  sockaddr_in6 raw{};
  raw.sin6_family = AF_INET6;
  raw.sin6_port = htons(80);
  raw.sin6_addr = in6addr_loopback;
  raw.sin6_flowinfo = htonl(12345);
  EXPECT_EQ(Endpoint(reinterpret_cast<const sockaddr*>(&raw), sizeof raw), six);

  EXPECT_TRUE(Endpoint().Empty());
  EXPECT_EQ(Endpoint().AddressText(), "");
  EXPECT_EQ(Endpoint().Port(), 0);
}

TEST(Endpoint, OfASocketAndItsPeer) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const Endpoint any = Endpoint::LoopbackV4(0);
  ASSERT_EQ(::bind(listener, any.Data(), any.Size()), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  const Endpoint bound = Endpoint::LocalOf(listener);
  EXPECT_EQ(bound.AddressText(), "127.0.0.1");
  EXPECT_NE(bound.Port(), 0);
  EXPECT_TRUE(Endpoint::PeerOf(listener).Empty()) << "a listener has no peer";

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, bound.Data(), bound.Size()), 0);
  EXPECT_EQ(Endpoint::PeerOf(client), bound);
  EXPECT_TRUE(Endpoint::LocalOf(-1).Empty());
  ::close(client);
  ::close(listener);
}

}  // namespace
}  // namespace quorvin::net
