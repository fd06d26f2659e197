#include <ctime>
#include <iostream>
#include <quorvin/quorvin.h>

int main(int argc, char** argv) try {
  if (argc != 3) return std::cerr << "usage: hello_server ROOT PORT\n", 2;
  quorvin::Server server(argv[1]);
  server.Get("/api/time", [](auto&, auto& res) { res.Json("{\"time\": " + std::to_string(std::time(nullptr)) + "}"); });
  const int port = server.Listen(argv[2]);  // throws before anything is printed
  std::cout << "Listening on port " << port << std::endl;
  return server.Run();  // until Ctrl-C or SIGTERM
} catch (const std::exception& e) { return std::cerr << "hello_server: " << e.what() << "\n", 1; }
