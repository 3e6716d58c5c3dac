// The preferences command line: read, write and delete values of the preferences store.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kapsho_defaults {

// Runs one command (the arguments after the program name); gives the exit status.
int runDefaultsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kapsho_defaults
