#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvin/client/fetch.h"
#include "quorvin/platform/web/form_data.h"
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

// A form sent as a request body that cannot be read: malformed or beyond the limits (status
// 400), or with a file the server could not keep (500). A route whose handler lets it through
// answers a 400 with the reason as text, a 500 with the server's error page.
class FormError : public std::runtime_error {
 public:
  FormError(int status, const std::string& reason) : std::runtime_error(reason), status_(status) {}

  int Status() const { return status_; }

 private:
  int status_;
};

// A request as a route's handler sees it.
class Request {
 public:
  explicit Request(web::TWebRequest& request) : request_(request) {}

  // `form_options`: how Form reads a form (the server's routes keep its files beyond the
  // module's BodyMemory in its BodyFolder).
  Request(web::TWebRequest& request, std::vector<std::pair<std::string, std::string>> params,
          web::FormOptions form_options = {})
      : request_(request), params_(std::move(params)), form_options_(std::move(form_options)) {}

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

  // The HTML form sent as the body (application/x-www-form-urlencoded or multipart/form-data):
  // its fields by name and its files, each with its size, a safe file name and a stream of its
  // bytes. Read on first use and kept for the request; empty for a body of another type or none
  // (the query string is Query's). A form that is malformed or beyond web::FormOptions' limits
  // throws FormError, which answers 400 with the reason unless the handler catches it; for other
  // limits, read the body with web::ReadForm.
  const web::FormData& Form() const;

  // The value of a field of the form; "" when it has none of that name.
  std::string Field(std::string_view name) const { return std::string(Form().Field(name)); }

  // The first file of the form sent under that name; null when none.
  const web::FormFile* File(std::string_view name) const { return Form().File(name); }

  // Everything else a web action can read.
  web::TWebRequest& Web() const { return request_; }

 private:
  web::TWebRequest& request_;
  std::vector<std::pair<std::string, std::string>> params_;
  web::FormOptions form_options_;
  // The form once read, or why it could not be (asked again, it throws again).
  mutable std::shared_ptr<const web::FormData> form_;
  mutable std::optional<FormError> form_error_;
};

class Response;

// An answer given after the handler has returned (Response::Later): the handler keeps a copy
// (in a timer's callback, a fetch's completion, a list of waiting requests) and answers from
// the loop. Copies share the one answer. A request not answered within the module's
// AnswerTimeout is answered 504.
class Later {
 public:
  Later() = default;
  explicit Later(std::shared_ptr<web::TLaterAnswer> answer) : answer_(std::move(answer)) {}

  // True while the client still waits for the answer.
  bool Open() const { return answer_ && answer_->Open(); }
  // Answers now: `fill` sets the answer as a route's handler would (one that throws answers
  // the 500 page). False when the answer is no longer wanted or was given.
  bool Answer(const std::function<void(Response&)>& fill);
  // Runs when the answer will never reach the client (it went away, or the deadline passed)
  // before it was given; the program can stop the work meant for it.
  void OnGone(std::function<void()> gone);

 private:
  std::shared_ptr<web::TLaterAnswer> answer_;
};

// An answer sent in pieces as the program has them (Response::Stream): chunked on HTTP/1.1, to
// the connection's close on HTTP/1.0. Copies share the one answer; when the last copy goes
// before End, the answer is cut off (the connection closes).
class Stream {
 public:
  Stream() = default;

  bool Open() const;
  // Sends a piece. True: write on. False: the client reads slowly, so wait for OnDrained
  // before the next piece (this one is queued all the same), or the answer is closed (Open()
  // says). A program that writes on regardless is cut off once megabytes wait.
  bool Write(std::string_view piece) const;
  // Ends the answer: the connection goes on to the client's next request, or closes.
  void End() const;
  // Bytes written that the client has not taken yet.
  std::size_t Queued() const;
  // Runs once what waited has left, after a Write that returned false.
  void OnDrained(std::function<void()> drained) const;
  // Runs when the client went away before End.
  void OnGone(std::function<void()> gone) const;

 private:
  friend class Response;
  friend class EventStream;
  struct State;
  std::shared_ptr<State> state_;
};

// Server-Sent Events (Response::Events): an answer of type text/event-stream that stays open,
// one event at a time, with a comment line as a heartbeat while nothing else goes out (so
// that proxies and the browser keep the connection).
class EventStream {
 public:
  EventStream() = default;

  bool Open() const { return stream_.Open(); }
  // Sends one event: `data` (each line of it a "data:" line), with an event name and an id
  // when given. False as for Stream::Write.
  bool Send(std::string_view data, std::string_view event = {}, std::string_view id = {}) const;
  // A comment line, which clients ignore.
  bool Comment(std::string_view text) const;
  // Tells the client how long to wait before it reconnects.
  bool Retry(std::chrono::milliseconds delay) const;
  // The id of the last event a reconnecting client saw (its Last-Event-ID header); "" when
  // none.
  const std::string& LastEventId() const { return last_event_id_; }
  void End() const { stream_.End(); }
  void OnGone(std::function<void()> gone) const { stream_.OnGone(std::move(gone)); }
  // The underlying answer: its queue and drain notice.
  const quorvin::Stream& Pieces() const { return stream_; }

 private:
  friend class Response;
  quorvin::Stream stream_;
  std::string last_event_id_;
};

// The answer a route's handler gives; untouched, it is an empty 200.
class Response {
 public:
  explicit Response(web::TWebResponse& response, const web::TWebRequest* request = nullptr)
      : response_(response), request_(request) {}

  Response& Status(int code);
  Response& Header(std::string_view name, std::string_view value);
  // The body and its type.
  Response& Text(std::string_view body, std::string_view type = "text/plain; charset=utf-8");
  Response& Html(std::string_view body) { return Text(body, "text/html; charset=utf-8"); }
  Response& Json(std::string_view body) { return Text(body, "application/json"); }
  // A 302 to `location`.
  void Redirect(std::string_view location);

  // The handler returns without an answer and gives it later through what this returns.
  quorvin::Later Later();
  // Begins an answer sent in pieces: the status and headers set so far go out now, with
  // `type`; the handler (or the program, later) writes the rest through what this returns.
  quorvin::Stream Stream(std::string_view type = "application/octet-stream");
  // Begins an event stream; `heartbeat` is the longest silence before a comment line goes
  // out (0: none).
  EventStream Events(std::chrono::seconds heartbeat = std::chrono::seconds(15));

  web::TWebResponse& Web() const { return response_; }

 private:
  web::TWebResponse& response_;
  const web::TWebRequest* request_;  // the request answered, for what an event stream reads
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
  // A request whose path a route takes under other methods only is answered 405, with the
  // methods in its Allow header.
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
  // Moves the action that answers 405 behind every route.
  void KeepMethodCheckLast();

  // Each route's path and the method it takes ("" for any): what a 405's Allow lists.
  struct RouteMethod {
    std::string pattern;
    std::string method;
  };
  std::vector<RouteMethod> routes_;

  std::unique_ptr<platform::TComponent> form_;
  web::TWebDispatcher* dispatcher_ = nullptr;
  server::ServerModule* module_ = nullptr;
};

}  // namespace quorvin
