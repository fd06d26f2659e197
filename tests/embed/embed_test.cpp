// The short path from code: quorvin::Server and quorvin::Fetch against each other over real
// sockets on 127.0.0.1, on every pairing of the socket bindings, with the one loop of the test.
#include <sys/socket.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/net/application.h"
#include "quorvin/quorvin.h"
#include "quorvin/server/server_module.h"

#include "test_support.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;

struct Pairing {
  Binding server;
  Binding client;
  const char* name;
};

class ShortPath : public ::testing::TestWithParam<Pairing> {
 protected:
  void SetUp() override {
    site_.Write("index.htm", "<h1>start</h1>");
    site_.Write("docs/a.txt", "file a");
  }

  FetchResponse Get(const std::string& path, FetchOptions options = {}) {
    options.binding = GetParam().client;
    options.timeout = 10s;
    return Fetch("http://127.0.0.1:" + std::to_string(port_) + path, options);
  }

  testing::TempDir site_;
  int port_ = 0;
};

TEST_P(ShortPath, RoutesComeBeforeFilesAndFilesAreServed) {
  Server server(site_.Str(), GetParam().server);
  server.Get("/api/time", [](const Request&, Response& res) { res.Json("{\"time\": 1}"); });
  server.Post("/echo", [](const Request& req, Response& res) {
    res.Status(201).Header("X-Method", req.Method()).Text(req.Body());
  });
  server.Get("/ask", [](const Request& req, Response& res) {
    res.Text(req.Path() + "|" + req.Query("name") + "|" + req.Header("x-test"));
  });
  server.Get("/docs/a.txt", [](const Request&, Response& res) { res.Text("route wins"); });
  server.Get("/fail", [](const Request&, Response&) { throw std::runtime_error("broken"); });
  port_ = server.Listen(0);
  ASSERT_GT(port_, 0);
  EXPECT_EQ(server.Port(), port_);
  EXPECT_TRUE(server.Listening());

  const FetchResponse time = Get("/api/time");
  EXPECT_EQ(time.status, 200);
  EXPECT_EQ(time.Header("Content-Type"), "application/json");
  EXPECT_EQ(time.body, "{\"time\": 1}");

  FetchOptions post;
  // Every byte of a body reaches the route, NUL bytes included.
  post.body = std::string("payload\r\nwith a break\0and a NUL", 31);
  const FetchResponse echoed = Get("/echo", post);
  EXPECT_EQ(echoed.status, 201);
  EXPECT_EQ(echoed.Header("x-method"), "POST");
  EXPECT_EQ(echoed.body, post.body);

  FetchOptions asking;
  asking.headers = {{"X-Test", "value"}};
  EXPECT_EQ(Get("/ask?name=a%20b+c", asking).body, "/ask|a b c|value");

  EXPECT_EQ(Get("/").body, "<h1>start</h1>");
  EXPECT_EQ(Get("/docs/a.txt").body, "route wins");
  EXPECT_EQ(Get("/missing.htm").status, 404);
  EXPECT_EQ(Get("/fail").status, 500);
  // A route for GET leaves other methods to the files.
  // Another method on a route's path is answered 405 with the methods the path takes; one no
  // route's path takes is the files' to answer.
  FetchOptions del;
  del.method = "DELETE";
  const FetchResponse refused = Get("/api/time", del);
  EXPECT_EQ(refused.status, 405);
  EXPECT_EQ(refused.Header("Allow"), "GET, HEAD");
  EXPECT_EQ(Get("/index.htm", del).status, 501);
  FetchOptions put;
  put.method = "PUT";
  put.body = std::string(200 * 1024, 'b');
  EXPECT_EQ(Get("/echo", put).Header("Allow"), "POST");
}

TEST_P(ShortPath, LargeBodiesReachTheRouteWholeFromTheirFile) {
  Server server(site_.Str(), GetParam().server);
  server.Module().BodyMemory = 64 * 1024;  // the 1 MiB below waits in a file
  server.Post("/upload", [](const Request& req, Response& res) {
    platform::TStream* stream = req.BodyStream();
    res.Header("X-Streamed", stream != nullptr ? std::to_string(stream->Size()) : "none");
    res.Text(req.Body(), "application/octet-stream");
  });
  port_ = server.Listen(0);
  std::string sent(1024 * 1024, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 >> 2);
  FetchOptions post;
  post.body = sent;
  const FetchResponse answer = Get("/upload", post);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("X-Streamed"), std::to_string(sent.size()));
  EXPECT_TRUE(answer.body == sent) << "the body came back changed";

  // The same bytes sent from a file as they are read, and a file that is not there.
  site_.Write("upload.bin", sent);
  FetchOptions from_file;
  from_file.body_file = site_.Str() + "/upload.bin";
  const FetchResponse filed = Get("/upload", from_file);
  EXPECT_EQ(filed.status, 200);
  EXPECT_TRUE(filed.body == sent) << "the file's bytes came back changed";
  from_file.body_file = site_.Str() + "/missing.bin";
  try {
    Get("/upload", from_file);
    ADD_FAILURE() << "a missing body file was sent";
  } catch (const FetchError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot open"), std::string::npos) << e.what();
  }
}

// A body from a pipe, whose length is unknown until it ends: over HTTP/1.1 it goes in chunks as
// it is read, over HTTP/1.0 (no chunks) by way of a file without a name that tells its length;
// either way the route gets every byte. A thread writes the pipe, in pieces of changing size,
// while the loop reads it.
TEST_P(ShortPath, BodiesFromAPipeArriveWhole) {
  std::signal(SIGPIPE, SIG_IGN);  // a writer left behind by a failed fetch ends on a broken pipe
  Server server(site_.Str(), GetParam().server);
  server.Put("/upload", [](const Request& req, Response& res) {
    const std::string chunked = req.Header("transfer-encoding");
    res.Header("X-Framing", chunked.empty() ? "length " + req.Header("content-length") : chunked);
    res.Text(req.Body(), "application/octet-stream");
  });
  server.Put("/elsewhere", [](const Request&, Response& res) {
    res.Status(307).Header("Location", "/upload").Text("");
  });
  port_ = server.Listen(0);
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i % 3 == 0 ? 0 : i * 13 >> 3);
  const auto put = [&](const std::string& path, const std::string& version, const std::string& body,
                       int redirects) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::thread writer([&body, w = fds[1]] {
      std::size_t n = 1;
      for (std::size_t at = 0; at < body.size(); at += n, n = n * 5 % 100000 + 1) {
        n = std::min(n, body.size() - at);
        if (::write(w, body.data() + at, n) != static_cast<ssize_t>(n)) break;
      }
      ::close(w);
    });
    FetchOptions options;
    options.method = "PUT";
    options.protocol_version = version;
    options.max_redirects = redirects;
    options.body_file = "/dev/fd/" + std::to_string(fds[0]);
    std::optional<FetchResponse> answer;
    std::string error;
    try {
      answer = Get(path, options);
    } catch (const FetchError& e) {
      error = e.what();
    }
    ::close(fds[0]);
    writer.join();
    return std::make_pair(answer, error);
  };

  struct Case {
    const char* version;
    const std::string& body;
    std::string framing;
  };

  const std::string empty;
  for (const Case& c : {Case{"HTTP/1.1", big, "chunked"}, Case{"HTTP/1.0", big, "length 3145728"},
                        Case{"HTTP/1.1", empty, "chunked"}, Case{"HTTP/1.0", empty, "length 0"}}) {
    SCOPED_TRACE(std::string(c.version) + " " + std::to_string(c.body.size()));
    const auto [answer, error] = put("/upload", c.version, c.body, 0);
    ASSERT_TRUE(answer) << error;
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->Header("X-Framing"), c.framing);
    EXPECT_EQ(answer->body.size(), c.body.size());
    EXPECT_TRUE(answer->body == c.body) << "the body came back changed";
  }
  // A redirect that wants the body again cannot have it: the pipe was read once.
  const auto [again, error] = put("/elsewhere", "HTTP/1.1", "small", 3);
  EXPECT_FALSE(again);
  EXPECT_NE(error.find("read only once"), std::string::npos) << error;
}

TEST_P(ShortPath, ReceivingRoutesTakeTheBodyAsItArrives) {
  Server server(site_.Str(), GetParam().server);
  // Held for nobody: each piece is counted and summed, and dropped.
  struct Tally {
    std::size_t pieces = 0;
    std::size_t bytes = 0;
    std::uint64_t sum = 0;
  };
  auto tally = std::make_shared<Tally>();
  // A route of another method and one whose pattern does not fit come first: they leave the
  // body to the receiving route.
  server.Put("/in/{name}", [](const Request&, Response& res) { res.Status(409); });
  server.Post("/in/fixed", [](const Request&, Response& res) { res.Status(409); });
  server.Receive(
      "POST", "/in/{name}",
      [tally](const Request& req) -> BodyReceiver {
        *tally = Tally{};
        if (req.Param("name") == "held") return nullptr;  // this one is held as usual
        return [tally](std::string_view piece) {
          if (piece.find("FAIL") != std::string_view::npos) throw std::runtime_error("refused piece");
          ++tally->pieces;
          tally->bytes += piece.size();
          for (unsigned char c : piece) tally->sum = tally->sum * 31 + c;
        };
      },
      [tally](const Request& req, Response& res) {
        res.Text(req.Param("name") + " " + std::to_string(tally->bytes) + " " + std::to_string(tally->sum) +
                 " body=" + std::to_string(req.Body().size()));
      });
  port_ = server.Listen(0);

  std::string sent(3 * 1024 * 1024, '\0');
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<char>((i * 13) >> 3);
    sum = sum * 31 + static_cast<unsigned char>(sent[i]);
  }
  FetchOptions post;
  post.body = sent;
  const FetchResponse answer = Get("/in/big", post);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "big " + std::to_string(sent.size()) + " " + std::to_string(sum) + " body=0");
  EXPECT_GT(tally->pieces, 1U) << "the body came in one piece: it was held whole";

  FetchOptions small;
  small.body = "kept whole";
  EXPECT_EQ(Get("/in/held", small).body, "held 0 0 body=10");
  small.body = "a piece that says FAIL";
  EXPECT_EQ(Get("/in/broken", small).status, 500);
  EXPECT_EQ(Get("/in/fixed", small).status, 409);
}

TEST_P(ShortPath, RoutesTakeParametersAndEveryMethod) {
  Server server(site_.Str(), GetParam().server);
  server.Get("/users/{id}", [](const Request& req, Response& res) { res.Text("user " + req.Param("id")); });
  server.Get("/users/{id}/posts/{post}", [](const Request& req, Response& res) {
    res.Text(req.Param("id") + "/" + req.Param("post") + "/" + req.Param("none"));
  });
  server.Delete("/users/{id}", [](const Request& req, Response& res) { res.Status(204).Text(""); (void)req; });
  server.Patch("/users/{id}", [](const Request& req, Response& res) { res.Text("patched " + req.Param("id") + " " + req.Body()); });
  port_ = server.Listen(0);
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* body;  // nullptr: not checked
  };
  const Case cases[] = {
      {"GET", "/users/42", 200, "user 42"},
      {"GET", "/USERS/ab%20c", 200, "user ab c"},
      {"GET", "/users/7/posts/9", 200, "7/9/"},
      {"GET", "/users/", 404, nullptr},         // a parameter takes one part, never none
      {"GET", "/users/7/more", 404, nullptr},   // nor more than one
      {"DELETE", "/users/42", 204, nullptr},
      {"PATCH", "/users/42", 200, "patched 42 x=1"},
      {"OPTIONS", "/users/42", 405, nullptr},   // the path is a route's, the method is not
      {"OPTIONS", "/other", 501, nullptr},      // neither: the files answer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    FetchOptions options;
    options.method = c.method;
    if (std::string_view(c.method) == "PATCH") options.body = "x=1";
    const FetchResponse answer = Get(c.path, options);
    EXPECT_EQ(answer.status, c.status);
    if (c.body != nullptr) {
      EXPECT_EQ(answer.body, c.body);
    }
  }
}

TEST_P(ShortPath, FormFieldsReachTheRouteAndAMalformedFormIsRefused) {
  Server server(site_.Str(), GetParam().server);
  const auto echo = [](const Request& req, Response& res) {
    res.Text(req.Field("a") + "|" + req.Field("b") + "|" +
             std::to_string(req.Form().fields.size()));
  };
  server.Post("/form", echo);
  server.Get("/form", echo);
  server.Post("/caught", [](const Request& req, Response& res) {
    try {
      req.Form();
      res.Text("read");
    } catch (const FormError& e) {
      res.Status(422).Text(std::string("caught: ") + e.what());
    }
  });
  port_ = server.Listen(0);
  const auto post = [this](const std::string& path, const std::string& type,
                           const std::string& body) {
    FetchOptions options;
    options.headers = {{"Content-Type", type}};
    options.body = body;
    return Get(path, options);
  };
  const FetchResponse encoded =
      post("/form", "application/x-www-form-urlencoded", "a=x+y%26z&b=%E2%82%AC&c");
  EXPECT_EQ(encoded.status, 200);
  EXPECT_EQ(encoded.body, "x y&z|\xE2\x82\xAC|3");
  const std::string multipart = "multipart/form-data; boundary=B";
  const FetchResponse parts = post(
      "/form", multipart, "--B\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n--B--\r\n");
  EXPECT_EQ(parts.body, "1||1");
  EXPECT_EQ(Get("/form?a=query").body, "||0") << "a request without a body has an empty form";

  const std::string unfinished = "--B\r\nContent-Disposition: form-data; name=a\r\n\r\n1";
  const FetchResponse refused = post("/form", multipart, unfinished);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, "the body ends before its closing boundary\n");
  EXPECT_EQ(post("/form", "multipart/form-data", "").status, 400);
  const FetchResponse caught = post("/caught", multipart, unfinished);
  EXPECT_EQ(caught.status, 422);
  EXPECT_EQ(caught.body, "caught: the body ends before its closing boundary");
}

TEST_P(ShortPath, FetchKeepsBoundedBodiesAndFollowsRedirectsWhenAsked) {
  Server server(site_.Str(), GetParam().server);
  server.Get("/big", [](const Request&, Response& res) { res.Text(std::string(100, 'x')); });
  server.Get("/moved", [](const Request&, Response& res) { res.Redirect("/docs/a.txt"); });
  port_ = server.Listen(0);
  FetchOptions small;
  small.max_body = 10;
  try {
    Get("/big", small);
    ADD_FAILURE() << "a body beyond max_body was kept";
  } catch (const FetchError& e) {
    EXPECT_NE(std::string(e.what()).find("larger than 10 bytes"), std::string::npos) << e.what();
  }
  // Without a limit of the answer's own, the sink takes any size.
  std::size_t sunk = 0;
  small.sink = [&sunk](std::string_view bytes) { sunk += bytes.size(); };
  EXPECT_EQ(Get("/big", small).status, 200);
  EXPECT_EQ(sunk, 100u);
  EXPECT_EQ(Get("/moved").status, 302);
  FetchOptions follow;
  follow.max_redirects = 5;
  const FetchResponse followed = Get("/moved", follow);
  EXPECT_EQ(followed.status, 200);
  EXPECT_EQ(followed.body, "file a");
}

TEST_P(ShortPath, FetchHandsTheHeadingOverBeforeTheBody) {
  Server server(site_.Str(), GetParam().server);
  port_ = server.Listen(0);
  std::vector<std::string> events;
  FetchOptions options;
  options.heading = [&](const FetchResponse& r) { events.push_back("heading " + std::to_string(r.status)); };
  options.sink = [&](std::string_view bytes) { events.push_back("body " + std::string(bytes)); };
  const FetchResponse r = Get("/docs/a.txt", options);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(events, (std::vector<std::string>{"heading 200", "body file a"}));
}

INSTANTIATE_TEST_SUITE_P(Bindings, ShortPath,
                         ::testing::Values(Pairing{Binding::kScktComp, Binding::kScktComp, "scktcomp"},
                                           Pairing{Binding::kDWinsock, Binding::kDWinsock, "dwinsock"},
                                           Pairing{Binding::kScktComp, Binding::kDWinsock, "mixed"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ResolveLocation, EveryKindOfReference) {
  const auto base = client::ParseUrl("http://example.org:8080/a/b/page.htm?q=1");
  ASSERT_TRUE(base);
  struct Case {
    std::string location, want;  // want: scheme://host_header:port path, or "" for none
  };
  const std::vector<Case> cases = {
      {"https://other.example/x", "https://other.example:443/x"},
      {"http://[::1]:9/y?z", "http://[::1]:9/y?z"},
      {"//cdn.example/lib.js", "http://cdn.example:80/lib.js"},
      {"/root.htm", "http://example.org:8080/root.htm"},
      {"next.htm", "http://example.org:8080/a/b/next.htm"},
      {"../up.htm", "http://example.org:8080/a/b/../up.htm"},
      {"?page=2", "http://example.org:8080/a/b/page.htm?page=2"},
      {"/frag.htm#part", "http://example.org:8080/frag.htm"},
      {"  /trimmed  ", "http://example.org:8080/trimmed"},
      {"ftp://example.org/file", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    const auto url = client::ResolveLocation(*base, c.location);
    const std::string got = url ? std::string(url->https ? "https://" : "http://") + url->host_header + ":" +
                                      std::to_string(url->port) + url->path
                                : "";
    EXPECT_EQ(got, c.want) << c.location;
  }
}

// Runs curl with `args` on a thread of its own while this thread's loop serves; what curl wrote
// (its errors included). curl gives up by itself after 30 s.
std::string Curl(const std::vector<std::string>& args) {
  std::string command = "curl --silent --show-error --max-time 30";
  for (const std::string& arg : args) {
    command += " '";
    for (const char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  command += " 2>&1";
  std::string out;
  std::atomic<bool> done{false};
  std::thread client([&] {
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
      ::pclose(pipe);
    }
    done = true;
  });
  net::Application::Instance().RunUntil([&] { return done.load(); }, 60s);
  client.join();
  return out;
}

std::string Fnv1a(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  return std::to_string(hash);
}

// curl posts a form as a browser does: fields, and a file of a few MB with NUL bytes and broken
// boundaries in it, which goes past BodyMemory and so waits in a file without a name in
// BodyFolder. The route reads it all through Form and answers what it read.
TEST(ShortPathForms, CurlPostsFieldsAndALargeFile) {
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (std::size_t i = 1000; i + 8 < data.size(); i += 100000) data.replace(i, 8, "\r\n--\r\n--");
  for (Binding binding : {Binding::kScktComp, Binding::kDWinsock}) {
    SCOPED_TRACE(static_cast<int>(binding));
    testing::TempDir site;
    testing::TempDir spool;
    const std::string path = site.Write("data.bin", data).string();
    Server server(site.Str(), binding);
    server.Module().BodyFolder = spool.Str();
    server.Post("/upload", [&spool](const Request& req, Response& res) {
      const web::FormFile* file = req.File("upload");
      if (file == nullptr) {
        res.Status(422).Text("no file");
        return;
      }
      std::string bytes(static_cast<std::size_t>(file->size), '\0');
      file->stream->ReadBuffer(bytes.data(), file->size);
      const bool in_file = dynamic_cast<platform::THandleStream*>(file->stream.get()) != nullptr;
      res.Text(req.Field("title") + "|" + req.Field("note") + "|" + file->file_name + "|" +
               file->sent_file_name + "|" + file->content_type + "|" + std::to_string(file->size) +
               "|" + Fnv1a(bytes) + "|" + (in_file ? "in a file" : "in memory") + "|" +
               (std::filesystem::is_empty(spool.Path()) ? "no names" : "named files") + "|" +
               std::to_string(req.Body().size() > bytes.size()));
    });
    const int port = server.Listen(0);
    const std::string answer =
        Curl({"-F", "title=Grace Hopper", "-F", "note=line one\r\nline two", "-F",
              "upload=@" + path + ";filename=../../evil.bin;type=application/x-test",
              "http://127.0.0.1:" + std::to_string(port) + "/upload"});
    EXPECT_EQ(answer,
              "Grace Hopper|line one\r\nline two|evil.bin|../../evil.bin|application/x-test|" +
                  std::to_string(data.size()) + "|" + Fnv1a(data) + "|in a file|no names|1");
  }
}

// A port held by a plain socket of the test.
struct HeldPort {
  HeldPort(bool listen) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (listen) ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~HeldPort() { ::close(fd); }
  int fd = -1;
  int port = 0;
};

TEST(ShortPathErrors, StartingFailuresSayWhy) {
  testing::TempDir site;
  EXPECT_THROW(Server((site.Path() / "absent").string()), Error);
  HeldPort held(true);
  for (Binding binding : {Binding::kScktComp, Binding::kDWinsock}) {
    Server server(site.Str(), binding);
    try {
      server.Listen(held.port);
      ADD_FAILURE() << "listened on a port in use";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(server.Listening());
    EXPECT_EQ(server.Port(), 0);
    // The same server listens once it is given a free port.
    EXPECT_GT(server.Listen(0), 0);
    for (const char* bad : {"", "http", "-1", "65536", "80 "}) {
      EXPECT_THROW(server.Listen(std::string_view(bad)), Error) << bad;
    }
  }
}

TEST(ShortPathErrors, FetchFailuresAreTold) {
  HeldPort closed(false);  // bound, not listening: connections are refused
  HeldPort silent(true);   // listening, never answering
  struct Case {
    std::string url;
    FetchError::Kind kind;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"ftp://127.0.0.1/", FetchError::Kind::kUrl, "not a URL"},
      {"http://127.0.0.1:99999/", FetchError::Kind::kUrl, "not a URL"},
      {"http://127.0.0.1:" + std::to_string(closed.port) + "/", FetchError::Kind::kFailed, "Connection refused"},
      {"http://127.0.0.1:" + std::to_string(silent.port) + "/", FetchError::Kind::kTimeout, "within 300 ms"},
  };
  for (Binding binding : {Binding::kScktComp, Binding::kDWinsock}) {
    for (const Case& c : cases) {
      FetchOptions options;
      options.binding = binding;
      options.timeout = 300ms;
      try {
        Fetch(c.url, options);
        ADD_FAILURE() << c.url << " succeeded";
      } catch (const FetchError& e) {
        EXPECT_EQ(e.kind(), c.kind) << c.url << ": " << e.what();
        EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
      }
    }
  }
}

TEST(ShortPathRun, StopsOnStopAndOnSignalsAndRestoresTheMask) {
  testing::TempDir site;
  Server server(site.Str());
  server.Listen(0);
  net::Application::Instance().Post([&] { server.Stop(); });
  EXPECT_EQ(server.Run(), 0);
  for (int signal : {SIGTERM, SIGINT}) {
    net::Application::Instance().Post([signal] { ::raise(signal); });
    EXPECT_EQ(server.Run(), 0);
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, signal)) << "the signal stays blocked after Run";
  }
}

// The module's fields are read when its listener is made; a field assigned later is logged at
// the next connection, with the operation that does reach the listener.
TEST(ShortPathModule, FieldsAssignedWhileListeningAreReported) {
  testing::TempDir site;
  site.Write("index.htm", "x");
  std::vector<std::string> lines;
  const auto previous = platform::SetLogSink([&](std::string_view line) { lines.emplace_back(line); });
  {
    Server server(site.Str());
    const int port = server.Listen(0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    server.Module().ServerPort = 1;
    server.Module().ServerRoot = "/elsewhere";
    EXPECT_EQ(Fetch(url).status, 200);
    EXPECT_EQ(Fetch(url).status, 200);  // said once, not per connection
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("ServerPort is 1 but the listener stays on port " + std::to_string(port) +
                            " until SetPort is called"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("ServerRoot changed"), std::string::npos) << lines[0];
    // SetPort moves the listener and settles the report.
    lines.clear();
    server.Module().ServerRoot = site.Str();
    server.Module().SetPort(0);
    EXPECT_EQ(Fetch("http://127.0.0.1:" + std::to_string(server.Port()) + "/").status, 200);
    EXPECT_TRUE(lines.empty()) << lines.front();
  }
  platform::SetLogSink(previous);
}

// The form a server made in code is the form a form file would hold.
TEST(ShortPathModule, TheComponentsAreTheFormFilesOwn) {
  testing::TempDir site;
  Server server(site.Str(), Binding::kDWinsock);
  server.Get("/a", [](const Request&, Response&) {});
  const std::string text = platform::WriteFormText(server.Form());
  EXPECT_NE(text.find("\"class\": \"TWebDispatcher\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"class\": \"TDwSvrModule\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"PathInfo\": \"/a\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"KeepAlive\": 1"), std::string::npos) << text;
}

}  // namespace
}  // namespace quorvin
