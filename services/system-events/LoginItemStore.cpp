#include "services/system-events/LoginItemStore.h"

#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <set>

#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"
#include "services/system-events/AutostartEntries.h"

namespace system_events {

namespace {

constexpr const char* kItemsKey = "LoginItems";
constexpr const char* kPathKey = "Path";
constexpr const char* kHiddenKey = "Hidden";
constexpr const char* kEntryKey = "Entry";
// A change answers its sender within the sender's time-out, so the lock is waited for briefly.
constexpr auto kLockTimeout = std::chrono::seconds(1);

// Whether text can stand in an XML property list as it is: XML holds no control characters but
// tab and line feed (a carriage return is read back as a line feed), no U+FFFE or U+FFFF, and
// nothing that is not UTF-8.
bool fitsInXML(const std::string& text) {
  if (std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n';
      }))
    return false;
  if (text.find("\xEF\xBF\xBE") != std::string::npos ||
      text.find("\xEF\xBF\xBF") != std::string::npos)
    return false;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

// A path is stored as text, or as the bytes of a path that XML text cannot hold.
platform::Value pathValue(const std::string& path) {
  if (fitsInXML(path)) return path;
  return platform::Data(path.begin(), path.end());
}

std::optional<std::string> pathFrom(const platform::Value* value) {
  std::string path;
  if (value && value->string())
    path = *value->string();
  else if (value && value->data())
    path.assign(value->data()->begin(), value->data()->end());
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

LoginItem itemFrom(const platform::Value& value) {
  LoginItem item;
  const platform::Dictionary* stored = value.dictionary();
  if (!stored) return item;
  item.stored = *stored;
  item.path = pathFrom(platform::valueForKey(*stored, kPathKey));
  if (const platform::Value* hidden = platform::valueForKey(*stored, kHiddenKey))
    item.hidden = hidden->boolean();
  const platform::Value* entry = platform::valueForKey(*stored, kEntryKey);
  if (entry && entry->integer() && *entry->integer() > 0)
    item.entry = static_cast<unsigned long>(*entry->integer());
  return item;
}

platform::Value valueFrom(const LoginItem& item) {
  platform::Dictionary stored = item.stored;
  if (item.path) stored[kPathKey] = pathValue(*item.path);
  if (item.hidden) stored[kHiddenKey] = *item.hidden;
  if (item.entry) stored[kEntryKey] = static_cast<std::int64_t>(item.entry);
  return stored;
}

// The stored indexes in the order of the items' positions.
std::vector<std::size_t> byPosition(const std::vector<LoginItem>& items) {
  std::vector<std::size_t> order(items.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_partition(order.begin(), order.end(),
                        [&](std::size_t i) { return items[i].path.has_value(); });
  return order;
}

// Gives each item without an entry the one after the highest in use; true when any was given.
bool numberEntries(std::vector<LoginItem>& items) {
  unsigned long highest = 0;
  for (const LoginItem& item : items) highest = std::max(highest, item.entry);
  bool numbered = false;
  for (LoginItem& item : items) {
    if (item.entry) continue;
    item.entry = ++highest;
    numbered = true;
  }
  return numbered;
}

bool save(const std::vector<LoginItem>& items) {
  platform::Array values;
  for (const LoginItem& item : items) values.push_back(valueFrom(item));
  auto domain = platform::NSUserDefaults::persistentDomainForName(kLoginItemsDomain)
                    .value_or(platform::Dictionary{});
  domain[kItemsKey] = std::move(values);
  return platform::NSUserDefaults::setPersistentDomain(domain, kLoginItemsDomain);
}

std::vector<LoginItem> rebuiltFromAutostart() {
  std::vector<LoginItem> items;
  for (const unsigned long entry : autostartEntries())
    if (auto item = itemOfAutostartEntry(entry)) items.push_back(std::move(*item));
  return items;
}

// The list in its stored order, each item with its entry; numbered tells whether an item was
// given its entry now. A list the store set aside as damaged, or that is no list, is rebuilt from
// the autostart entries, which carry each item's path and hidden flag; a file that is there but
// cannot be read gives nullopt, so that nothing is written over it.
std::optional<std::vector<LoginItem>> load(bool* numbered = nullptr) {
  const std::string file = *platform::NSUserDefaults::pathForDomain(kLoginItemsDomain);
  const bool stored = access(file.c_str(), F_OK) == 0;
  const auto domain = platform::NSUserDefaults::persistentDomainForName(kLoginItemsDomain);
  if (!domain && stored && access(file.c_str(), F_OK) == 0) return std::nullopt;
  const platform::Value* list = domain ? platform::valueForKey(*domain, kItemsKey) : nullptr;
  std::vector<LoginItem> items;
  if (list && list->array()) {
    for (const platform::Value& value : *list->array()) items.push_back(itemFrom(value));
  } else if (list || (stored && !domain)) {
    items = rebuiltFromAutostart();
    NSLog("Login items list %@ could not be read; rebuilt %ld items from their autostart entries",
          file, static_cast<long>(items.size()));
    save(items);
  }
  const bool given = numberEntries(items);
  if (numbered) *numbered = given;
  return items;
}

}  // namespace

void LoginItemStore::reconcile() {
  const platform::PreferencesDomainLock lock(kLoginItemsDomain, kLockTimeout);
  bool numbered = false;
  auto stored = lock.held() ? load(&numbered) : std::nullopt;
  if (!stored) return;
  if (numbered) save(*stored);
  std::set<unsigned long> listed;
  for (const LoginItem& item : *stored) {
    listed.insert(item.entry);
    if (item.path && !hasAutostartEntry(item.entry)) writeAutostartEntry(item);
  }
  for (const unsigned long entry : autostartEntries())
    if (!listed.count(entry)) removeAutostartEntry(entry);
}

std::optional<std::vector<LoginItem>> LoginItemStore::items() {
  const platform::PreferencesDomainLock lock(kLoginItemsDomain, kLockTimeout);
  const auto stored = lock.held() ? load() : std::nullopt;
  if (!stored) return std::nullopt;
  std::vector<LoginItem> items;
  for (const std::size_t i : byPosition(*stored)) items.push_back((*stored)[i]);
  return items;
}

std::optional<std::size_t> LoginItemStore::append(LoginItem item) {
  const platform::PreferencesDomainLock lock(kLoginItemsDomain, kLockTimeout);
  auto stored = lock.held() ? load() : std::nullopt;
  if (!stored) return std::nullopt;
  item.entry = 0;
  stored->push_back(std::move(item));
  numberEntries(*stored);
  if (!save(*stored)) return std::nullopt;
  writeAutostartEntry(stored->back());
  return std::count_if(stored->begin(), stored->end(),
                       [](const LoginItem& listed) { return listed.path.has_value(); }) -
         1;
}

bool LoginItemStore::remove(std::size_t position) {
  const platform::PreferencesDomainLock lock(kLoginItemsDomain, kLockTimeout);
  auto stored = lock.held() ? load() : std::nullopt;
  if (!stored || position >= stored->size()) return false;
  const std::size_t index = byPosition(*stored)[position];
  const unsigned long entry = (*stored)[index].entry;
  stored->erase(stored->begin() + static_cast<std::ptrdiff_t>(index));
  if (!save(*stored)) return false;
  removeAutostartEntry(entry);
  return true;
}

}  // namespace system_events
