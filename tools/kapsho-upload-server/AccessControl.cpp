#include "tools/kapsho-upload-server/AccessControl.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

namespace {

using namespace std::chrono_literals;

constexpr auto kWindow = 60s;
// A users file is a short list; anything larger is not one.
constexpr std::size_t kMaxUsersFile = 1 << 20;
// Below this many clients, idle ones are left for their next upload to clear.
constexpr std::size_t kForgetIdleFrom = 1024;

// The whole of a file that no one but its owner may use, or nullopt and the reason.
std::optional<std::string> readPrivateFile(const std::string& path, std::string* error) {
  const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0)
    *error = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    *error = "not a regular file";
  else if (info.st_mode & (S_IRWXG | S_IRWXO))
    *error = "others than its owner may use it (chmod 600)";
  else if (static_cast<std::size_t>(info.st_size) > kMaxUsersFile)
    *error = "too large";
  if (!error->empty()) return std::nullopt;
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t got = read(file.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = got < 0 ? std::strerror(errno) : "changed while read";
      return std::nullopt;
    }
    done += static_cast<std::size_t>(got);
  }
  return text;
}

}  // namespace

std::variant<Users, std::string> Users::load(const std::string& path) {
  std::string error;
  const auto text = readPrivateFile(path, &error);
  if (!text) return path + ": " + error;
  Users users;
  std::istringstream lines(*text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (line.ends_with('\r')) line.pop_back();
    if (line.empty() || line.starts_with('#')) continue;
    const std::string where = path + " line " + std::to_string(number) + ": ";
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == line.size())
      return where + "expected name:token";
    const std::string name = line.substr(0, colon);
    if (!users.tokens_.emplace(name, digestOf(line.substr(colon + 1))).second)
      return where + "the name " + name + " is listed twice";
  }
  if (users.tokens_.empty()) return path + ": lists no users";
  return users;
}

bool Users::authorizes(const std::string& name, const std::string& token) const {
  const auto found = tokens_.find(name);
  const Digest given = digestOf(token);
  // An unknown name costs the same comparison, against a digest (all zero) nothing hashes to.
  static const Digest kNone{};
  const Digest& listed = found == tokens_.end() ? kNone : found->second;
  return CRYPTO_memcmp(given.data(), listed.data(), given.size()) == 0;
}

Users::Digest Users::digestOf(const std::string& token) {
  Digest digest;
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest.data());
  return digest;
}

std::optional<std::chrono::seconds> RateLimit::admit(const std::string& client,
                                                     Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  forgetIdle(now);
  auto& uploads = uploads_[client];
  while (!uploads.empty() && uploads.front() <= now - kWindow) uploads.pop_front();
  if (uploads.size() < perMinute_) {
    uploads.push_back(now);
    return std::nullopt;
  }
  const auto wait = std::chrono::ceil<std::chrono::seconds>(uploads.front() + kWindow - now);
  return std::max(wait, std::chrono::seconds(1));
}

std::size_t RateLimit::clientsHeld() {
  const std::lock_guard lock(mutex_);
  return uploads_.size();
}

// Each client costs memory only while its last upload is within the minute: the sweep runs once
// the table has doubled since the last one, so it costs little per upload.
void RateLimit::forgetIdle(Clock::time_point now) {
  if (uploads_.size() < std::max(forgetAt_, kForgetIdleFrom)) return;
  std::erase_if(uploads_, [&](const auto& entry) {
    return entry.second.empty() || entry.second.back() <= now - kWindow;
  });
  forgetAt_ = 2 * uploads_.size();
}

}  // namespace upload_server
