#include <iostream>

#include "app/Cli.h"

int main(int argc, char** argv) {
  return app::RunCli(argc, argv, std::cout, std::cerr);
}
