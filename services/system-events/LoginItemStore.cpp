#include "services/system-events/LoginItemStore.h"

#include "platform/foundation/UserDefaults.h"
#include "services/system-events/AutostartEntries.h"

namespace system_events {

namespace {

constexpr const char* kItemsKey = "LoginItems";
constexpr const char* kPathKey = "Path";
constexpr const char* kHiddenKey = "Hidden";

LoginItem itemFrom(const platform::Value& value) {
  LoginItem item;
  const platform::Dictionary* entry = value.dictionary();
  if (!entry) return item;
  if (const platform::Value* path = platform::valueForKey(*entry, kPathKey); path && path->string())
    item.path = *path->string();
  if (const platform::Value* hidden = platform::valueForKey(*entry, kHiddenKey))
    item.hidden = hidden->boolean();
  return item;
}

platform::Value valueFrom(const LoginItem& item) {
  platform::Dictionary entry;
  if (item.path) entry[kPathKey] = *item.path;
  if (item.hidden) entry[kHiddenKey] = *item.hidden;
  return entry;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::optional<struct stat> statOfDomain() {
  const auto path = platform::NSUserDefaults::pathForDomain(kLoginItemsDomain);
  struct stat st {};
  if (!path || stat(path->c_str(), &st) != 0) return std::nullopt;
  return st;
}

std::vector<LoginItem> readItems() {
  std::vector<LoginItem> items;
  const auto domain = platform::NSUserDefaults::persistentDomainForName(kLoginItemsDomain);
  const platform::Value* stored = domain ? platform::valueForKey(*domain, kItemsKey) : nullptr;
  if (stored && stored->array())
    for (const platform::Value& value : *stored->array()) items.push_back(itemFrom(value));
  return items;
}

}  // namespace

std::vector<LoginItem> LoginItemStore::items() const {
  const auto now = statOfDomain();
  if (!now || !readFile_ || !sameFile(*now, *readFile_)) {
    items_ = readItems();
    readFile_ = now;
  }
  return items_;
}

bool LoginItemStore::append(const LoginItem& item) {
  auto list = items();
  list.push_back(item);
  return save(list);
}

bool LoginItemStore::remove(std::size_t index) {
  auto list = items();
  if (index >= list.size()) return false;
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
  return save(list);
}

bool LoginItemStore::save(const std::vector<LoginItem>& items) {
  platform::Array values;
  for (const LoginItem& item : items) values.push_back(valueFrom(item));
  auto domain = platform::NSUserDefaults::persistentDomainForName(kLoginItemsDomain)
                    .value_or(platform::Dictionary{});
  domain[kItemsKey] = std::move(values);
  if (!platform::NSUserDefaults::setPersistentDomain(domain, kLoginItemsDomain)) return false;
  mirrorToAutostart(items);
  return true;
}

}  // namespace system_events
