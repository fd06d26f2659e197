#include <iostream>
#include <quorvin/quorvin.h>

int main(int argc, char** argv) try {
  if (argc != 2) return std::cerr << "usage: fetch_once URL\n", 2;
  std::cout << quorvin::Fetch(argv[1]).body;
} catch (const std::exception& e) { return std::cerr << "fetch_once: " << e.what() << "\n", 1; }
