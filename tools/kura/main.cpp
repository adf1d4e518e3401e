#include <iostream>
#include <string>
#include <vector>

#include "tools/kura/kura_commands.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  return kura::tool::RunKura(args, std::cin, std::cout, std::cerr);
}
