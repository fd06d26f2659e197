#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorvin::web {
class TCustomWebDispatcher;
}

namespace quorvin::server {

struct FileOptions;

// What the server's connections take from their listener, at every acceptance.
struct ConnectionLimits {
  std::int32_t header_seconds = 20;     // the request head must arrive within this (0: no limit)
  std::int32_t body_seconds = 20;       // no byte of the body for this long ends it (0: no limit)
  std::int32_t send_seconds = 30;       // an answer the peer takes nothing of for this long ends
  std::int32_t answer_seconds = 60;     // a web action's later answer must begin within this
  bool keep_alive = false;              // requests that ask for it keep the connection open
  std::int32_t keep_alive_seconds = 5;  // how long a kept connection waits for the next request
  std::int32_t keep_alive_requests = 100;  // requests on one connection at most
  std::int32_t max_body = 16 * 1024 * 1024;  // the largest request body taken (413 beyond)
  std::int32_t body_memory = 64 * 1024;      // the most of a body held in memory; a file beyond
  std::shared_ptr<const std::string> body_folder;  // where those files go (null: the system's)
};

// All that a connection knows of the listener that accepted it. The listener keeps its
// settings to itself; a test or a fuzzer gives a connection a context of its own.
class ConnectionContext {
 public:
  // Kept connections waiting for their next request, oldest first: when the bound is reached
  // they give up their places before any client waits.
  class IdleConnection {
   public:
    virtual void GiveUpPlace() = 0;

   protected:
    ~IdleConnection() = default;
  };

  // Taken once, as the connection begins: its deadlines, how files are answered (nullptr:
  // the defaults) and the default document of folders.
  virtual ConnectionLimits Limits() const = 0;
  virtual std::shared_ptr<const FileOptions> Files() const = 0;
  virtual const std::string& DefaultFile() const = 0;
  // Asked per request, since they may change under an open connection: the root as a full path
  // without a trailing separator ("" for the file system's root), and the web actions' dispatcher
  // (nullptr: none).
  virtual const std::string& RootPath() const = 0;
  virtual web::TCustomWebDispatcher* Dispatcher() const = 0;

  virtual void AddIdle(IdleConnection& connection) = 0;
  virtual void RemoveIdle(IdleConnection& connection) = 0;

  // For a binding that bounds its connections by its own count (the first): each connection
  // counts itself in (+1) and out (-1), and ends after LifetimeSeconds (0: never).
  virtual void CountConnection(int change) = 0;
  virtual std::int32_t LifetimeSeconds() const = 0;

 protected:
  ~ConnectionContext() = default;
};

}  // namespace quorvin::server
