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

#include "platform/foundation/FileIO.h"
#include "tools/kapsho-upload-server/Clients.h"
#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

namespace {

using namespace std::chrono_literals;

constexpr auto kWindow = 60s;

}  // namespace

std::variant<Users, std::string> Users::load(const std::string& path) {
  std::string error;
  const auto text = platform::contentsOfPrivateFile(path, &error);
  if (!text) return path + ": " + error;
  Users users;
  // Editors that write a byte-order mark would otherwise make it part of the first name.
  constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
  std::istringstream lines(text->starts_with(kByteOrderMark) ? text->substr(kByteOrderMark.size())
                                                             : *text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (line.ends_with('\r')) line.pop_back();
    if (line.empty() || line.starts_with('#')) continue;
    const std::string where = path + " line " + std::to_string(number) + ": ";
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == line.size())
      return where + "expected name:token";
    const std::string name = line.substr(0, colon), token = line.substr(colon + 1);
    if (!users.digests_.emplace(name, digestOf(token)).second)
      return where + "the name " + name + " is listed twice";
    users.tokens_.emplace(name, token);
  }
  if (users.digests_.empty()) return path + ": lists no users";
  return users;
}

bool Users::authorizes(const std::string& name, const std::string& token) const {
  const auto found = digests_.find(name);
  const Digest given = digestOf(token);
  // An unknown name costs the same comparison, against a digest (all zero) nothing hashes to.
  static const Digest kNone{};
  const Digest& listed = found == digests_.end() ? kNone : found->second;
  return CRYPTO_memcmp(given.data(), listed.data(), given.size()) == 0;
}

std::optional<std::string> Users::token(const std::string& name) const {
  const auto found = tokens_.find(name);
  return found == tokens_.end() ? std::nullopt : std::optional(found->second);
}

Users::Digest Users::digestOf(const std::string& token) {
  Digest digest;
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest.data());
  return digest;
}

std::optional<std::chrono::seconds> RateLimit::admit(const std::string& client,
                                                     Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  auto& uploads = entryOf(clientKey(client)).uploads;
  const auto recent = std::find_if(uploads.begin(), uploads.end(),
                                   [&](Clock::time_point time) { return time > now - kWindow; });
  uploadTimes_ -= static_cast<std::size_t>(recent - uploads.begin());
  uploads.erase(uploads.begin(), recent);
  std::optional<std::chrono::seconds> wait;
  if (uploads.size() < perMinute_) {
    uploads.push_back(now);
    ++uploadTimes_;
  } else {
    wait = std::max(std::chrono::ceil<std::chrono::seconds>(uploads.front() + kWindow - now),
                    std::chrono::seconds(1));
  }
  trim(now);
  return wait;
}

std::size_t RateLimit::clientsHeld() {
  const std::lock_guard lock(mutex_);
  return clients_.size();
}

RateLimit::Client& RateLimit::entryOf(const std::string& key) {
  const auto found = index_.find(key);
  if (found != index_.end()) {
    clients_.splice(clients_.end(), clients_, found->second);
    return clients_.back();
  }
  clients_.push_back({key, {}});
  index_.emplace(clients_.back().key, std::prev(clients_.end()));
  return clients_.back();
}

void RateLimit::forget(Clients::iterator client) {
  uploadTimes_ -= client->uploads.size();
  index_.erase(client->key);
  clients_.erase(client);
}

// The last client is the one just counted: it is never forgotten here.
void RateLimit::trim(Clock::time_point now) {
  while (clients_.size() > 1) {
    const Client& oldest = clients_.front();
    const bool idle = oldest.uploads.empty() || oldest.uploads.back() <= now - kWindow;
    if (!idle && clients_.size() <= kMaxClients && uploadTimes_ <= kMaxUploadTimes) break;
    forget(clients_.begin());
  }
}

}  // namespace upload_server
