#include "platform/foundation/UserDefaults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyList.h"

namespace platform {

// One per domain: the thread that holds the domain's lock file, and how often it took the lock.
struct DomainLockState {
  std::recursive_mutex thread;
  int depth = 0;
  std::optional<FileLock> file;
};

namespace {

// Parsed domains, kept while their file is unchanged (same inode, size and modification time);
// an atomic write by any process replaces the inode, so the next read parses the new file.
struct CachedDomain {
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  Dictionary contents;
};

std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, CachedDomain>& cache() {
  static std::map<std::string, CachedDomain> domains;
  return domains;
}

std::string corruptPath(const std::string& path) {
  std::string candidate = path + ".corrupt";
  for (int n = 1; access(candidate.c_str(), F_OK) == 0; ++n)
    candidate = path + ".corrupt." + std::to_string(n);
  return candidate;
}

// Moves an unreadable file aside, so the next write does not destroy what may still be saved.
void setAside(const std::string& path, const std::string& reason) {
  const std::string aside = corruptPath(path);
  if (rename(path.c_str(), aside.c_str()) == 0)
    NSLog("Preferences file %@ could not be parsed (%@); moved aside to %@", path, reason, aside);
  else
    NSLog("Preferences file %@ could not be parsed (%@)", path, reason);
}

DomainLockState& lockStateOf(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, DomainLockState> states;
  std::lock_guard lock(mutex);
  return states[name];
}

std::optional<Dictionary> readDomainLocked(const std::string& name) {
  auto path = NSUserDefaults::pathForDomain(name);
  if (!path) return std::nullopt;
  struct stat st {};
  if (stat(path->c_str(), &st) != 0) {
    cache().erase(name);
    return std::nullopt;
  }
  auto cached = cache().find(name);
  if (cached != cache().end() && cached->second.inode == st.st_ino &&
      cached->second.size == st.st_size && cached->second.modified.tv_sec == st.st_mtim.tv_sec &&
      cached->second.modified.tv_nsec == st.st_mtim.tv_nsec)
    return cached->second.contents;
  auto bytes = contentsOfFile(*path);
  if (!bytes) return std::nullopt;
  std::string error;
  auto value = propertyListFromBytes(*bytes, &error);
  if (value && !value->isDictionary()) error = "the top level is not a dictionary";
  if (!value || !value->isDictionary()) {
    cache().erase(name);
    setAside(*path, error);
    return std::nullopt;
  }
  cache()[name] = {st.st_ino, st.st_size, st.st_mtim, *value->dictionary()};
  return *value->dictionary();
}

// Called with the domain's lock held, which a name that names no file never gets.
bool writeDomainLocked(const Dictionary& domain, const std::string& name, std::string* error) {
  const auto path = NSUserDefaults::pathForDomain(name);
  if (!writeFileAtomically(*path, xmlPropertyList(domain), error)) return false;
  // The writer holds the domain's lock, so the file it just wrote is still its own.
  struct stat st {};
  if (stat(path->c_str(), &st) == 0)
    cache()[name] = {st.st_ino, st.st_size, st.st_mtim, domain};
  else
    cache().erase(name);
  return true;
}

}  // namespace

PreferencesDomainLock::PreferencesDomainLock(const std::string& name,
                                             std::chrono::milliseconds timeout,
                                             std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error)
      *error = why;
    else
      NSLog("Cannot lock preferences domain %@: %@", name, why);
  };
  const auto path = NSUserDefaults::pathForDomain(name);
  if (!path) {
    fail("not a valid domain name");
    return;
  }
  DomainLockState& state = lockStateOf(name);
  state.thread.lock();
  std::string why;
  if (state.depth == 0) state.file.emplace(*path + ".lock", timeout, &why);
  if (!state.file->held()) {
    fail(why);
    state.file.reset();
    state.thread.unlock();
    return;
  }
  ++state.depth;
  state_ = &state;
}

PreferencesDomainLock::~PreferencesDomainLock() {
  if (!state_) return;
  if (--state_->depth == 0) state_->file.reset();
  state_->thread.unlock();
}

NSUserDefaults& NSUserDefaults::standardUserDefaults() {
  static NSUserDefaults defaults(NSBundle::mainBundle().bundleIdentifier().empty()
                                     ? std::string(program_invocation_short_name)
                                     : NSBundle::mainBundle().bundleIdentifier());
  return defaults;
}

NSUserDefaults::NSUserDefaults(std::string domainName) : domain_(std::move(domainName)) {}

void NSUserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : defaults) registration_.insert_or_assign(key, value);
}

std::optional<Value> NSUserDefaults::objectForKey(const std::string& key) const {
  const auto domain = persistentDomainForName(domain_);
  std::lock_guard lock(mutex_);
  if (const auto unsaved = unsaved_.find(key); unsaved != unsaved_.end()) {
    if (unsaved->second) return *unsaved->second;
  } else if (const Value* value = domain ? valueForKey(*domain, key) : nullptr) {
    return *value;
  }
  if (const Value* value = valueForKey(registration_, key)) return *value;
  return std::nullopt;
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
  auto value = objectForKey(key);
  return value && value->boolValue();
}

std::optional<Array> NSUserDefaults::arrayForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value || !value->isArray()) return std::nullopt;
  return *value->array();
}

std::optional<std::string> NSUserDefaults::stringForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->string();
}

void NSUserDefaults::setObject(const Value& value, const std::string& key) {
  store(key, value);
}

void NSUserDefaults::setBool(bool value, const std::string& key) {
  setObject(Value(value), key);
}

void NSUserDefaults::removeObjectForKey(const std::string& key) {
  store(key, std::nullopt);
}

void NSUserDefaults::store(const std::string& key, std::optional<Value> value) {
  std::string error;
  const PreferencesDomainLock lock(domain_, std::chrono::seconds(5), &error);
  std::lock_guard guard(mutex_);
  unsaved_.insert_or_assign(key, std::move(value));
  if (lock.held()) {
    const auto stored = persistentDomainForName(domain_);
    Dictionary domain = stored.value_or(Dictionary{});
    for (const auto& [name, change] : unsaved_) {
      if (change)
        domain.insert_or_assign(name, *change);
      else
        domain.erase(name);
    }
    std::lock_guard storeGuard(storeMutex());
    if (domain == stored.value_or(Dictionary{}) || writeDomainLocked(domain, domain_, &error)) {
      unsaved_.clear();
      return;
    }
  }
  NSLog(
      "Cannot store \"%@\" in preferences domain %@ (%@); this process keeps it until a "
      "later write stores it",
      key, domain_, error);
}

std::optional<Dictionary> NSUserDefaults::persistentDomainForName(const std::string& name) {
  std::lock_guard lock(storeMutex());
  return readDomainLocked(name);
}

bool NSUserDefaults::setPersistentDomain(const Dictionary& domain, const std::string& name) {
  const PreferencesDomainLock lock(name);
  std::lock_guard guard(storeMutex());
  if (!lock.held()) return false;
  std::string error;
  if (writeDomainLocked(domain, name, &error)) return true;
  NSLog("Cannot store preferences domain %@: %@", name, error);
  return false;
}

bool NSUserDefaults::removePersistentDomainForName(const std::string& name) {
  const PreferencesDomainLock lock(name);
  std::lock_guard guard(storeMutex());
  if (!lock.held()) return false;
  cache().erase(name);
  return unlink(pathForDomain(name)->c_str()) == 0 || errno == ENOENT;
}

std::string NSUserDefaults::preferencesFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string base = config && *config ? config : std::string(home ? home : "") + "/.config";
  return base + "/" PLATFORM_VENDOR "/Preferences";
}

std::optional<std::string> NSUserDefaults::pathForDomain(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return std::nullopt;
  return preferencesFolder() + "/" + name + ".plist";
}

}  // namespace platform
