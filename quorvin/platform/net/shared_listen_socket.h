#pragma once

#include <memory>

namespace quorvin::net {

// One listening socket on which several processes accept, each on its own event loop: a
// program that starts copies of itself (workers) opens the socket once and the copies inherit
// it, so that its backlog holds the clients while a copy comes or goes. While a
// SharedListenSocket lives, every listener the socket layers open (TServerSocket::Open,
// TServerWinSocket::Listen, and with them the server modules) takes part in it instead of
// opening a socket of its own; the program has at most one at a time. The library starts no
// process: the program hands Socket() to the ones it starts, and each of them inherits it.
class SharedListenSocket final {
 public:
  // Both throw std::logic_error while another SharedListenSocket lives.
  //
  // For the process that opens the socket: the first listener opened from now on listens at
  // its address and port as usual, and a copy of its socket stays here, open across exec, for
  // the programs this one starts; every later listener accepts on a copy of it, as an
  // inherited one does.
  static std::unique_ptr<SharedListenSocket> KeepFirstOpened();
  // For a process started with the socket: every listener opened from now on accepts on a copy
  // of `fd`, whatever address and port it is given (its LocalPort is the socket's). Takes `fd`;
  // throws ESocketError, leaving it to the caller, when it is not a listening socket.
  static std::unique_ptr<SharedListenSocket> Inherit(int fd);

  // Closes Socket(); listeners opened afterwards open their own sockets again, and the ones
  // made from it go on as they are.
  ~SharedListenSocket();
  SharedListenSocket(const SharedListenSocket&) = delete;
  SharedListenSocket& operator=(const SharedListenSocket&) = delete;

  // The shared socket, for the programs this one starts to inherit; -1 until the first
  // listener has opened it.
  int Socket() const;

  // Stops accepting on every listener made from the shared socket, leaving their connections
  // and the socket itself alone: a worker that is asked to end finishes what it has while the
  // others take the clients queued on the socket. Listeners opened later accept again.
  void StopAccepting();

 private:
  // Only the two functions above can name a Key, and so make one.
  struct Key {
    explicit Key() = default;
  };

 public:
  explicit SharedListenSocket(Key) {}
};

}  // namespace quorvin::net
