// The upload service's private files, read at start: the users file ("name:token" lines) and the
// store's credentials file (its [default] profile). Whatever a file holds, it is read or refused
// with a reason naming it; a user read from the file is let in with the token its line gives, and
// with no other; keys read are never empty.
#include "tests/fuzz/FuzzSupport.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/BucketStore.h"

using fuzz_support::shown;
using namespace upload_server;

namespace {

// The first line that lists a user, as the file's format has it: neither blank nor a comment.
std::optional<std::pair<std::string, std::string>> firstUser(std::string_view text) {
  if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
  for (std::string_view line : fuzz_support::split(text, '\n')) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.starts_with('#')) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return std::pair(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
  }
  return std::nullopt;
}

void checkUsers(const std::string& path, std::string_view text) {
  auto loaded = Users::load(path);
  if (const auto* reason = std::get_if<std::string>(&loaded)) {
    FUZZ_REQUIRE(reason->starts_with(path + ": ") || reason->starts_with(path + " line "),
                 "a refusal does not name the file: " + shown(*reason));
    return;
  }
  const Users& users = std::get<Users>(loaded);
  const auto user = firstUser(text);
  FUZZ_REQUIRE(user.has_value(), "a file without a user line was read");
  const auto& [name, token] = *user;
  FUZZ_REQUIRE(users.authorizes(name, token) && users.token(name) == token,
               "the user " + shown(name) + " is not let in with the token of its line");
  FUZZ_REQUIRE(!users.authorizes(name, token + "x"),
               "the user " + shown(name) + " is let in with another token");
}

void checkKeys(const std::string& path) {
  BucketConfig config;
  const auto refusal = config.loadKeys(path);
  if (refusal)
    FUZZ_REQUIRE(refusal->starts_with(path + ": "),
                 "a refusal does not name the file: " + shown(*refusal));
  else
    FUZZ_REQUIRE(!config.accessKey.empty() && !config.secretKey.empty(),
                 "keys were read empty from the file");
}

}  // namespace

FUZZ_TARGET(input) {
  const std::string path = fuzz_support::scratchFile("private", input);
  checkUsers(path, input);
  checkKeys(path);
}
