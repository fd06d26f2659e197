// Hostile requests against quorvin-serve over real sockets: a traversal battery that looks for
// the canary outside the root and for the dot-files' content, and malformed requests that must
// get a 400 page (or another refusal) or a close, each followed by a normal GET.
#include <random>
#include <set>
#include <string>

#include "fault_support.h"

namespace quorvin::testing {
namespace {

struct TraversalCase {
  std::string url;
  std::set<int> codes;  // the refusals (or answers) that are right for it
};

const std::vector<TraversalCase>& TraversalCases() {
  static const std::vector<TraversalCase> cases = [] {
    std::vector<TraversalCase> c = {
        {"/../canary.txt", {400}},
        {"/../../../../../../../../etc/passwd", {400}},
        {"../canary.txt", {400}},  // no leading "/": joined to the root as "site../canary.txt"
        {"2/canary.txt", {400}},   // joined to the root it names the sibling site2
        {".htm", {400}},           // joined to the root it names site.htm
        {"/%2e%2e/canary.txt", {400}},
        {"/%2E%2E/%2e%2e/canary.txt", {400}},
        {"/%2e%2e%2fcanary.txt", {400}},
        {"%2e%2e%2fcanary.txt", {400}},
        {"/docs/..%2f..%2fcanary.txt", {400}},
        {"/.%2e/canary.txt", {400}},
        {"/%252e%252e/canary.txt", {404}},  // decoded once: a folder named "%2e%2e"
        {"/%25252e%25252e/canary.txt", {404}},
        {"/%c0%ae%c0%ae/canary.txt", {404}},  // overlong UTF-8 dots are not dots
        {"/%e0%80%ae%e0%80%ae/canary.txt", {404}},
        {"/%c0%af../canary.txt", {404}},
        {"/..%5c..%5ccanary.txt", {404}},  // a backslash is part of a name here
        {"/..\\canary.txt", {404}},
        {"/docs/../../canary.txt", {400}},
        {"/docs/./../.././canary.txt", {400}},
        {"//canary.txt", {404}},
        {"///../canary.txt", {400}},
        {"/./canary.txt", {404}},
        {"/docs/../../site2/canary.txt", {400}},
        {"/../site2/canary.txt", {400}},
        {"/../site.htm", {400}},
        {"/.hidden", {403}},
        {"/%2ehidden", {403}},
        {"/./.hidden", {403}},
        {"/docs/../.hidden", {403}},
        {"/.git/config", {403}},
        {"/.git/", {403}},
        {"/.git", {301, 403}},
        {"/sub/.env", {403}},
        {"/sub/.env/more", {403}},
        {"/sub/%2eenv", {403}},
        {"/sub//.env", {403}},
        {"/.hidden.", {404}},  // a trailing dot names another file here
        {"/page.htm.", {404}},
        {"/page.htm..", {404}},
        {"/...", {404}},
        {"/..", {400}},
        {"/../", {400}},
        {"/page.htm%00.txt", {400}},
        {"/page.htm%00", {400}},
        {"/%00../canary.txt", {400}},
        {"/../canary.txt%00.htm", {400}},
        {"/docs/..", {301}},  // the root, named without its "/"
        {"/page.htm/../../canary.txt", {400}},
        {"/page.htm/..%2f..%2fcanary.txt", {400}},
        {"/page.htm/.hidden", {200}},  // below a file: the file is served, the rest is extra path
    };
    // Very long paths: beyond the longest full path, and beyond the line limit.
    std::string deep;
    for (int i = 0; i < 1200; ++i) deep += "/a";
    c.push_back({deep + "/../canary.txt", {400, 404}});
    std::string dots;
    for (int i = 0; i < 1300; ++i) dots += "/..";
    c.push_back({dots + "/canary.txt", {400}});
    std::string climb;
    for (int i = 0; i < 2100; ++i) climb += "/../";
    c.push_back({climb + "canary.txt", {400}});
    std::string encoded;
    for (int i = 0; i < 700; ++i) encoded += "/%2e%2e";
    c.push_back({encoded + "/canary.txt", {400}});
    return c;
  }();
  return cases;
}

using HostileRequests = ServedTest;

// Sends every traversal case with GET and with HEAD and hands each answer to `check`, with a
// context for its messages.
template <class Check>
void SendTraversals(int port, Check check) {
  for (const TraversalCase& c : TraversalCases()) {
    for (const char* method : {"GET ", "HEAD "}) {
      const std::string context = method + c.url.substr(0, 80);
      const Reply r = Ask(port, method + c.url + " HTTP/1.0\r\n\r\n");
      EXPECT_FALSE(Leaks(r.answer)) << context << "\n" << r.answer;
      check(c, method, context, r);
    }
  }
}

TEST_P(HostileRequests, TraversalNeverReachesASecret) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--no-dispatcher"}));
  if (IsSkipped()) return;
  SendTraversals(Port(), [](const TraversalCase& c, const char*, const std::string& context, const Reply& r) {
    EXPECT_TRUE(r.closed) << context;
    EXPECT_EQ(c.codes.count(r.Status()), 1u) << context << "\n" << r.answer;
  });
  ExpectServes("after the traversal battery");
  ExpectCleanStop();
}

// The same battery with folder listings and a fallback document on: a listing or the fallback may
// stand where a 404 or a folder's 403 stood, but no secret and no dot-name ever comes out, and
// what was refused as a path stays refused.
TEST_P(HostileRequests, TraversalWithListingsAndFallbackOn) {
  ASSERT_NO_FATAL_FAILURE(
      StartServer({"--root", site_.Root(), "--no-dispatcher", "--listing", "--fallback", "page.htm"}));
  if (IsSkipped()) return;
  SendTraversals(Port(), [](const TraversalCase& c, const char* method, const std::string& context, const Reply& r) {
    const int status = r.Status();
    const bool may_fall_back = c.codes.count(404) == 1 && status == 200;
    EXPECT_TRUE(c.codes.count(status) == 1 || may_fall_back) << context << "\n" << r.answer;
    if (may_fall_back && method[0] == 'G') {
      EXPECT_NE(r.answer.find(kPageText), std::string::npos) << context;
    }
  });
  const Reply listing = Ask(Port(), "GET /sub/ HTTP/1.0\r\n\r\n");
  EXPECT_EQ(listing.Status(), 200) << listing.answer;
  EXPECT_NE(listing.answer.find("ok.txt"), std::string::npos) << listing.answer;
  EXPECT_EQ(listing.answer.find(".env"), std::string::npos) << listing.answer;
  const Reply top = Ask(Port(), "GET /docs/../sub/ HTTP/1.0\r\n\r\n");
  EXPECT_EQ(top.answer.find(".git"), std::string::npos) << top.answer;
  ExpectServes("after the battery with listings and fallback");
  ExpectCleanStop();
}

// Finding: the Location of a folder's redirect repeats the path as the client wrote it. A path
// that starts with "//" (or "/\\", which browsers read the same way) makes it a reference to
// another host: "GET //evil.example/../docs" resolves to the folder docs, and an answer
// "Location: //evil.example/../docs/" would send a browser to evil.example (an open redirect).
TEST_P(HostileRequests, FolderRedirectStaysOnThisHost) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--no-dispatcher"}));
  if (IsSkipped()) return;
  for (const char* url :
       {"//evil.example/../docs", "/\\evil.example/../docs", "///evil.example/../docs",
        "//evil.example/%2e%2e/docs?x=1", "/%2fevil.example/../docs"}) {
    const Reply r = Ask(Port(), std::string("GET ") + url + " HTTP/1.0\r\n\r\n");
    if (r.Status() != 301) continue;
    const std::string location = ParseAnswer(r.answer).Header("Location");
    ASSERT_FALSE(location.empty()) << url;
    EXPECT_EQ(location[0], '/') << url;
    EXPECT_TRUE(location.size() < 2 || (location[1] != '/' && location[1] != '\\'))
        << url << " is redirected to another host: Location: " << location;
  }
  ExpectCleanStop();
}

// A request that a server must refuse or drop, and how: codes that are right for it; 0 in the
// set allows a close without any answer.
struct MalformedCase {
  const char* name;
  std::string bytes;
  bool end_sending;  // the client then ends its side: an incomplete request meets the end
  std::set<int> codes;
};

std::string Repeat(std::string_view piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

// Random bytes; without line feeds when `lines` is false.
std::string Garbage(std::size_t n, unsigned seed, bool lines) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& ch : out) {
    ch = static_cast<char>(gen() & 0xFF);
    if (!lines && ch == '\n') ch = 'x';
  }
  return out;
}

const std::vector<MalformedCase>& MalformedCases() {
  static const std::vector<MalformedCase> cases = {
      {"BareCarriageReturns", "GET /page.htm HTTP/1.0\rHost: x\r\r", true, {0}},
      {"BareCarriageReturnsThenLineFeed",
       "GET /page.htm HTTP/1.0\rHost: x\r\n\r\n",
       false,
       {200, 400}},
      {"ObsFoldedHeader",
       "GET /page.htm HTTP/1.0\r\nX-A: one\r\n  folded on\r\n\tand on\r\n\r\n",
       false,
       {200, 400}},
      {"LongRequestLine", "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n", false, {400}},
      {"LongHeaderLine",
       "GET /page.htm HTTP/1.0\r\nX-Long: " + std::string(9000, 'b') + "\r\n\r\n",
       false,
       {400}},
      {"ThousandsOfHeaders",
       "GET /page.htm HTTP/1.0\r\n" + Repeat("X-Many: v\r\n", 5000) + "\r\n",
       false,
       {400}},
      {"MegabyteOfHeaders",
       "GET /page.htm HTTP/1.0\r\n" + Repeat("X-Many: v\r\n", 100000) + "\r\n",
       false,
       {400}},
      {"HeaderBytesBeyondTheLimit",
       "GET /page.htm HTTP/1.0\r\n" + Repeat("X-Big: " + std::string(8000, 'c') + "\r\n", 9) +
           "\r\n",
       false,
       {400}},
      {"NegativeLength",
       "POST /page.htm HTTP/1.0\r\nContent-Length: -5\r\n\r\nhello",
       false,
       {400}},
      {"HugeLength",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\nhello",
       false,
       {413}},
      {"LengthBeyondTheBodyLimit",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 16777217\r\n\r\nhello",
       false,
       {413}},
      {"HexLength",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 0x10\r\n\r\n0123456789abcdef",
       false,
       {400}},
      {"SignedLength", "POST /page.htm HTTP/1.0\r\nContent-Length: +5\r\n\r\nhello", false, {400}},
      {"EmptyLength", "POST /page.htm HTTP/1.0\r\nContent-Length: \r\n\r\nhello", false, {400}},
      {"LengthWithBlanksInside",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 1 2\r\n\r\nhello",
       false,
       {400}},
      {"DisagreeingLengths",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
       false,
       {400}},
      {"AgreeingLengths",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
       false,
       {405}},
      {"LengthAtTheLimitBodyMissing",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 16777216\r\n\r\nhello",
       true,
       {0}},
      // Chunks in an HTTP/1.0 request: a party in front that does not decode them would pass
      // them on as the next request's bytes.
      {"ChunkedWithoutLength",
       "POST /page.htm HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       false,
       {400}},
      {"ChunkedWithLength",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhello",
       false,
       {400}},
      // The chunked body holds a second request for a dot-file: it must never be answered.
      {"ChunkedSmuggledRequest",
       "GET /page.htm HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET /.hidden "
       "HTTP/1.0\r\n\r\n",
       false,
       {400}},
      // On a connection that may be kept: both framings at once, or one the server does not
      // decode, end the connection with the 400 page; what follows is never read as a request.
      {"Http11ChunkedAndLength",
       "POST /page.htm HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
       "0\r\n\r\nGET /.hidden HTTP/1.1\r\n\r\n",
       false,
       {400}},
      {"Http11EncodingOtherThanChunked",
       "POST /page.htm HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n"
       "GET /.hidden HTTP/1.1\r\n\r\n",
       false,
       {400}},
      {"Http11BlankBeforeTheColon",
       "POST /page.htm HTTP/1.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 4\r\n\r\n"
       "0\r\n\r\nGET /.hidden HTTP/1.1\r\n\r\n",
       false,
       {400}},
      {"Http11MalformedChunk",
       "POST /page.htm HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nGET /.hidden "
       "HTTP/1.1\r\n\r\n",
       false,
       {400}},
      // Header lines that another party may read differently: a folded length, a blank inside
      // a name, a NUL in a value. The request is refused whole; what follows is never read.
      {"Http11FoldedLength",
       "POST /page.htm HTTP/1.1\r\nContent-Length: 0\r\n 35\r\n\r\nGET /.hidden HTTP/1.1\r\n\r\n",
       false,
       {400}},
      {"Http11BlankInsideTheName",
       "POST /page.htm HTTP/1.1\r\nContent Length: 26\r\n\r\nGET /.hidden HTTP/1.1\r\n\r\n",
       false,
       {400}},
      {"Http11NulInAValue",
       std::string("GET /page.htm HTTP/1.1\r\nX-A: b\0c\r\n\r\nGET /.hidden HTTP/1.1\r\n\r\n", 61),
       false,
       {400}},
      {"BodySmuggledPastTheLength",
       "POST /page.htm HTTP/1.0\r\nContent-Length: 4\r\n\r\nabcdGET /.hidden HTTP/1.0\r\n\r\n",
       false,
       {405}},
      {"BlankLinesOnly", "\r\n\r\n", false, {501}},
      {"NulBytesInRequestLine",
       std::string("GET /page\0.htm HTTP/1.0\r\n\r\n", 28),
       false,
       {200, 400, 404}},
      {"BinaryGarbage", Garbage(4096, 1, true) + "\r\n\r\n", true, {0, 400, 404, 501}},
      {"BinaryGarbageNoLineEnds", Garbage(20000, 2, false), true, {400}},
      {"ControlCharactersInPath", "GET /\x01\x02\x7f\xff HTTP/1.0\r\n\r\n", false, {404}},
      {"OnlyTheMethod", "GET\r\n\r\n", false, {501}},
  };
  return cases;
}

TEST_P(HostileRequests, MalformedRequestsAreRefusedThenServiceGoesOn) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--root", site_.Root(), "--no-dispatcher"}));
  if (IsSkipped()) return;
  for (const MalformedCase& c : MalformedCases()) {
    const Reply r = Ask(Port(), c.bytes, c.end_sending);
    EXPECT_TRUE(r.closed) << c.name;
    EXPECT_LT(r.seconds, 5.0) << c.name;
    EXPECT_EQ(c.codes.count(r.Status()), 1u) << c.name << "\n" << r.answer.substr(0, 300);
    EXPECT_FALSE(Leaks(r.answer)) << c.name;
    // One request, one answer: nothing in the body is ever read as a second request.
    EXPECT_EQ(r.answer.find("HTTP/1.", 1), std::string::npos) << c.name << "\n" << r.answer;
    ExpectServes(std::string("after ") + c.name);
  }
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(Bindings, HostileRequests, ::testing::ValuesIn(Bindings()), BindingName);

}  // namespace
}  // namespace quorvin::testing
