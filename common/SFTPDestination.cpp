// The SFTP road: a file goes into the folder under a dot name, and is renamed to its own only
// once all of it is there, so a transfer that breaks off leaves nothing under that name. The
// server refuses to rename onto a name that is taken, so a stored file is never replaced.
#include <cstdlib>

#include "common/DestinationRoads.h"

using namespace platform;

namespace {

// How many names are tried while the file's own is taken: Picture-3.png, Picture-3-2.png ...
constexpr int NameVariants = 100;

std::string knownHostsFile() {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.ssh/known_hosts";
}

// A path as an SFTP command takes it: in double quotes, with '"' and '\' escaped.
std::string quoted(const std::string& path) {
  std::string text = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + "\"";
}

PutOutcome putWhole(const Destination& destination, const Data& bytes, const std::string& name,
                    const URLTransfer::SSHLogin& login, URLTransfer& transfer) {
  const std::string part = "." + name + ".part", folder = destination.folder();
  const auto error =
      transfer.putFile(destination.location() + part, bytes, login,
                       {"rename " + quoted(folder + part) + " " + quoted(folder + name)});
  if (!error) return destination.addressFor(name);
  // What came of the bytes goes again, wherever the server can still be reached.
  transfer.runCommands(destination.location(), login, {"rm " + quoted(folder + part)});
  return Destination::Failure{error->localizedDescription()};
}

}  // namespace

PutOutcome putBySFTP(const Destination& destination, const Data& bytes, const std::string& fileName,
                     URLTransfer& transfer) {
  const URLTransfer::SSHLogin login{knownHostsFile(), destination.settings().keyFile};
  const std::string name = destination.nameFor(fileName);
  for (int number = 1; number <= NameVariants; ++number) {
    const std::string candidate = Destination::variant(name, number);
    if (destination.namesItsOwn()) {
      const auto exists = transfer.fileExists(destination.location() + candidate, login);
      if (const auto* error = std::get_if<NSError>(&exists))
        return Destination::Failure{error->localizedDescription()};
      if (std::get<bool>(exists)) continue;
    }
    return putWhole(destination, bytes, candidate, login, transfer);
  }
  return Destination::Failure{"no free name for " + name + " in " + destination.location()};
}
