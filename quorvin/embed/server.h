#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/client/fetch.h"
#include "quorvin/platform/web/web_request.h"
#include "quorvin/platform/web/web_response.h"

namespace quorvin::platform {
class TComponent;
}
namespace quorvin::web {
class TWebDispatcher;
}
namespace quorvin::server {
class ServerModule;
}

// The short path from code: a server that serves a folder and answers routes, in a few lines,
// built of the same components a form file would hold (a form with a web dispatcher and a
// server module), so that everything the components offer stays in reach.
namespace quorvin {

using client::Binding;
using client::Fetch;
using client::FetchError;
using client::FetchOptions;
using client::FetchResponse;

// A server that could not start: the reason in words ("Cannot listen on port 8080: Address
// already in use", a document root that is not a folder, a TLS file that cannot be used).
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request as a route's handler sees it.
class Request {
 public:
  explicit Request(web::TWebRequest& request) : request_(request) {}
  Request(web::TWebRequest& request, std::vector<std::pair<std::string, std::string>> params)
      : request_(request), params_(std::move(params)) {}

  std::string Method() const { return request_.Method(); }
  std::string Path() const { return request_.PathInfo(); }
  // A parameter of the route's path: for a route "/users/{id}", Param("id") of "/users/42" is
  // "42" ("" for a name the route does not have).
  std::string Param(std::string_view name) const;
  // A query parameter, decoded ("" when the query has none of that name).
  std::string Query(std::string_view name) const;
  // A request header, letter case of the name ignored ("" when absent).
  std::string Header(std::string_view name) const { return request_.GetHeader(name); }
  // The body, every byte of it (binary uploads included).
  std::string Body() const { return request_.ContentBytes(); }
  // The body as a stream, for one too large to take whole (beyond the module's BodyMemory it is
  // read from a file); null when the request has none.
  platform::TStream* BodyStream() const { return request_.BodyStream(); }
  // Everything else a web action can read.
  web::TWebRequest& Web() const { return request_; }

 private:
  web::TWebRequest& request_;
  std::vector<std::pair<std::string, std::string>> params_;
};

// The answer a route's handler gives; untouched, it is an empty 200.
class Response {
 public:
  explicit Response(web::TWebResponse& response) : response_(response) {}

  Response& Status(int code);
  Response& Header(std::string_view name, std::string_view value);
  // The body and its type.
  Response& Text(std::string_view body, std::string_view type = "text/plain; charset=utf-8");
  Response& Html(std::string_view body) { return Text(body, "text/html; charset=utf-8"); }
  Response& Json(std::string_view body) { return Text(body, "application/json"); }
  // A 302 to `location`.
  void Redirect(std::string_view location);
  web::TWebResponse& Web() const { return response_; }

 private:
  web::TWebResponse& response_;
};

using Handler = std::function<void(const Request&, Response&)>;

// Receives a request's body piece by piece as it arrives; a piece is valid during the call. A
// receiver that throws fails the request with the 500 page.
using BodyReceiver = std::function<void(std::string_view piece)>;
// Runs once a request's head has been read, before any of its body: returns the receiver of the
// body's pieces (an empty one: the body is held, and read as Body() as for any route).
using BodyStart = std::function<BodyReceiver(const Request&)>;

// A web server: a static-file server for `root` (its index.htm for folders, the error pages,
// ranges and conditional requests), routes tried before the files, persistent connections on.
// Lives and runs on the thread that runs the loop, as every component does.
class Server {
 public:
  // Throws Error when `root` is not a folder.
  explicit Server(const std::string& root = ".", Binding binding = Binding::kScktComp);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Routes, tried in the order added. A path ending in "*" takes every path that begins with
  // what precedes it; a part "{name}" takes one part of the request's path, which the handler
  // reads as Param("name"); letter case is ignored. A handler that throws answers the 500 page.
  Server& Get(std::string path, Handler handler);
  Server& Post(std::string path, Handler handler);
  Server& Put(std::string path, Handler handler);
  Server& Delete(std::string path, Handler handler);
  Server& Patch(std::string path, Handler handler);
  Server& Any(std::string path, Handler handler);
  // A route for `method` ("POST", "PUT", ...) that takes its body as it arrives, for bodies too
  // large to hold: `start` sees the request's head and returns the receiver of its body;
  // `handler` answers once the body has ended (its Body() is then empty: the receiver had it).
  // A body the client cuts short never reaches `handler`.
  Server& Receive(std::string_view method, std::string path, BodyStart start, Handler handler);

  // Starts listening on `port` (0: the system picks one) and returns the port listened on;
  // throws Error with the reason when it cannot. Listening already, it moves to `port`.
  int Listen(int port);
  // The same with the port as text (a command-line argument, say): a number from 0 to 65535.
  int Listen(std::string_view port);
  bool Listening() const;
  int Port() const;

  // Runs the program's loop until SIGINT or SIGTERM, or until Stop is called; returns 0.
  int Run();
  // Ends Run after the handler that calls it.
  void Stop();

  // The components, for everything else they offer (the module's timeouts, TLS files and
  // limits; the dispatcher's actions).
  server::ServerModule& Module() const { return *module_; }
  web::TWebDispatcher& Dispatcher() const { return *dispatcher_; }
  platform::TComponent& Form() const { return *form_; }

 private:
  // `only`: the one method the route takes beyond what `method` selects ("" for any).
  Server& Route(int method, std::string_view only, std::string path, Handler handler,
               BodyStart start = nullptr);

  std::unique_ptr<platform::TComponent> form_;
  web::TWebDispatcher* dispatcher_ = nullptr;
  server::ServerModule* module_ = nullptr;
};

}  // namespace quorvin
