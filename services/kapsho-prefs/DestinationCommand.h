// kapsho-prefs destination: sets where the agent puts screenshots, in the agent's defaults.
//
//   destination sftp://user@host[:port]/folder/ --address TEMPLATE [--key FILE]
//               [--naming own|random] [--test]
//   destination s3://bucket/prefix/ --endpoint URL --region R --address TEMPLATE [--keys FILE]
//               [--public-read] [--naming own|random] [--test]
//   destination builtin
//
// A destination that cannot work is refused with one line naming the setting, and nothing is
// stored. With --test a small picture is uploaded there first, and a failed upload is reported
// with the server's or the store's own words, and stores nothing either. A destination takes
// the place of a custom uploader; "builtin" clears both.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kapsho_prefs {

// The arguments after "destination"; gives the exit status: 0, or 1 when refused or the test
// failed (with the reason on err).
int runDestinationCommand(const std::vector<std::string>& arguments, std::ostream& out,
                          std::ostream& err);

}  // namespace kapsho_prefs
