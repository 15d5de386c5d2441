#include <iostream>

#include "app/Cli.h"
#include "app/probe/ProbeCli.h"

int main(int argc, char** argv) {
  if (probe::WantsServe(argc, argv)) return probe::RunServeCli(argc, argv, std::cout, std::cerr);
  return app::RunCli(argc, argv, std::cout, std::cerr);
}
