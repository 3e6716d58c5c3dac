// The preferences store: one XML property list per domain under
// ${XDG_CONFIG_HOME:-$HOME/.config}/kapsho/Preferences/<domain>.plist, read and written whole.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

class NSUserDefaults {
 public:
  // The running bundle's defaults: its domain is the main bundle's identifier.
  static NSUserDefaults& standardUserDefaults();
  explicit NSUserDefaults(std::string domainName);

  const std::string& domainName() const { return domain_; }

  // The registration domain: values read when the persistent domain holds none. Not stored.
  void registerDefaults(const Dictionary& defaults);

  std::optional<Value> objectForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  std::optional<Array> arrayForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;

  void setObject(const Value& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Persistent domains by name. A value written by another process is seen by the next read.
  static std::optional<Dictionary> persistentDomainForName(const std::string& name);
  static bool setPersistentDomain(const Dictionary& domain, const std::string& name);
  static bool removePersistentDomainForName(const std::string& name);

  static std::string preferencesFolder();
  // The file of a domain, or nullopt for a name that cannot name a file (empty, '/', leading '.').
  static std::optional<std::string> pathForDomain(const std::string& name);

 private:
  std::string domain_;
  mutable std::mutex mutex_;
  Dictionary registration_;
};

}  // namespace platform
