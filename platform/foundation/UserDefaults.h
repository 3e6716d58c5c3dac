// The preferences store: one XML property list per domain under
// ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/Preferences/<domain>.plist, read and written whole
// (the vendor's name comes from the build).
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

struct DomainLockState;

// Holds a domain's lock, between processes and between threads, for a whole read-change-write
// of the domain (the lock file <domain>.plist.lock beside the domain's file), so that writers of
// one domain never lose each other's changes. The store's own writes take it as well; inside it
// they do not wait for it again.
class PreferencesDomainLock {
 public:
  // Waits up to timeout; when the lock cannot be had, held() is false and why is logged, or
  // given in error when the caller asks for it.
  explicit PreferencesDomainLock(const std::string& name,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                 std::string* error = nullptr);
  ~PreferencesDomainLock();
  PreferencesDomainLock(const PreferencesDomainLock&) = delete;
  PreferencesDomainLock& operator=(const PreferencesDomainLock&) = delete;

  bool held() const { return state_ != nullptr; }

 private:
  DomainLockState* state_ = nullptr;
};

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

  // A value that cannot be stored (the domain's lock not had, a full disk) is kept for this
  // process, with one log line, and stored by the next write that succeeds.
  void setObject(const Value& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Persistent domains by name. A value written by another process is seen by the next read.
  // A caller that reads, changes and writes back a domain holds its PreferencesDomainLock.
  static std::optional<Dictionary> persistentDomainForName(const std::string& name);
  static bool setPersistentDomain(const Dictionary& domain, const std::string& name);
  static bool removePersistentDomainForName(const std::string& name);

  static std::string preferencesFolder();
  // The file of a domain, or nullopt for a name that cannot name a file (empty, '/', leading '.').
  static std::optional<std::string> pathForDomain(const std::string& name);

 private:
  // Stores the key's value (nullopt: removes the key) with every change not stored yet.
  void store(const std::string& key, std::optional<Value> value);

  std::string domain_;
  mutable std::mutex mutex_;
  Dictionary registration_;
  // Changes whose write failed (nullopt: a removal), read here until a write stores them.
  std::map<std::string, std::optional<Value>> unsaved_;
};

}  // namespace platform
