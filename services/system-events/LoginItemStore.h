// The user's ordered list of login items, kept in the service's own preferences domain and
// mirrored to XDG autostart entries after every change.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace system_events {

// A stored item may lack either property; it is answered as it is stored.
struct LoginItem {
  std::optional<std::string> path;
  std::optional<bool> hidden;
};

inline constexpr const char* kLoginItemsDomain = "com.kapsho.loginitems";

class LoginItemStore {
 public:
  // What the store holds now; read again only when its file changed since the last read.
  std::vector<LoginItem> items() const;
  // Each gives false when the list could not be written.
  bool append(const LoginItem& item);
  bool remove(std::size_t index);

 private:
  bool save(const std::vector<LoginItem>& items);

  mutable std::optional<struct stat> readFile_;
  mutable std::vector<LoginItem> items_;
};

}  // namespace system_events
