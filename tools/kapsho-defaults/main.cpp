#include <iostream>

#include "tools/kapsho-defaults/DefaultsCommand.h"

int main(int argc, char** argv) {
  return kapsho_defaults::runDefaultsCommand({argv + 1, argv + argc}, std::cout, std::cerr);
}
