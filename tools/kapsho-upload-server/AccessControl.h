// Who may upload, and how often: the accounts of a users file, checked against a request's Basic
// authorization, and a limit on uploads per client address.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace upload_server {

class Users {
 public:
  // Reads a file of "name:token" lines (blank lines and lines starting with '#' aside). The file
  // must be a regular file that no one but its owner may read or write; gives the reason when it
  // is not, or a line is malformed, a name comes twice, or no one is listed.
  static std::variant<Users, std::string> load(const std::string& path);

  // Whether the name is listed with this token; takes as long for a wrong token as for a right
  // one.
  bool authorizes(const std::string& name, const std::string& token) const;
  // The token of a listed name, for a file that hands it to its user; nullopt for others.
  std::optional<std::string> token(const std::string& name) const;

 private:
  using Digest = std::array<unsigned char, 32>;
  static Digest digestOf(const std::string& token);

  std::map<std::string, Digest> digests_;
  std::map<std::string, std::string> tokens_;
};

// A client is an IPv4 address, or an IPv6 /64 (what one subscriber is given, so that its many
// addresses share one budget). The table holds at most kMaxClients clients and kMaxUploadTimes
// upload times in all, whatever comes: past either, the client unseen for longest is forgotten.
class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxClients = 16384;
  static constexpr std::size_t kMaxUploadTimes = 1 << 18;

  explicit RateLimit(unsigned uploadsPerMinute) : perMinute_(uploadsPerMinute) {}

  // Counts an upload of the client (an address as text) at `now` and gives nullopt while it has
  // had fewer than the limit in the minute before; past it, counts nothing and gives how long
  // until the next one is taken. Safe to call from any thread.
  std::optional<std::chrono::seconds> admit(const std::string& client, Clock::time_point now);
  // How many clients it keeps memory for.
  std::size_t clientsHeld();

 private:
  struct Client {
    std::string key;
    std::vector<Clock::time_point> uploads;
  };
  using Clients = std::list<Client>;

  // The client's entry, made when new, and moved to the back: the front is the one unseen for
  // longest.
  Client& entryOf(const std::string& key);
  void forget(Clients::iterator client);
  // Forgets clients from the front while they are idle or the table is over its bounds.
  void trim(Clock::time_point now);

  const unsigned perMinute_;
  std::mutex mutex_;
  Clients clients_;
  std::unordered_map<std::string_view, Clients::iterator> index_;
  std::size_t uploadTimes_ = 0;
};

}  // namespace upload_server
