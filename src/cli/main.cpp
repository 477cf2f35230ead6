#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
  return ambrelic::cli::Main(std::vector<std::string>(argv + 1, argv + argc));
}
