#include "platform/carbon/CoreFoundation.h"

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace {

using Array = std::vector<CFTypeRef>;
using Dictionary = std::vector<std::pair<CFTypeRef, CFTypeRef>>;

// Every CF object of the subset; the typed references point at one of these.
struct CFObject {
  template <typename T>
  explicit CFObject(T value, bool immortal = false)
      : immortal(immortal), payload(std::move(value)) {}
  ~CFObject();

  std::atomic<long> references{1};
  const bool immortal;
  std::variant<std::string, bool, platform::NSURL, Array, Dictionary> payload;
};

const CFObject* object(CFTypeRef ref) {
  return static_cast<const CFObject*>(ref);
}

template <typename T>
const T* payloadOf(CFTypeRef ref) {
  return ref ? std::get_if<T>(&object(ref)->payload) : nullptr;
}

struct stat statOf(const std::string& path, bool* exists) {
  struct stat st {};
  *exists = stat(path.c_str(), &st) == 0;
  return st;
}

// Existing objects compare by device and inode, so links and spellings of one path agree;
// paths of objects that do not exist compare in their lexically normal form.
bool sameFileObject(const platform::NSURL& a, const platform::NSURL& b) {
  if (!a.isFileURL() || !b.isFileURL()) return a == b;
  bool aExists = false, bExists = false;
  const struct stat sa = statOf(a.path(), &aExists), sb = statOf(b.path(), &bExists);
  if (aExists && bExists) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (aExists != bExists) return false;
  namespace fs = std::filesystem;
  return fs::path(a.path()).lexically_normal() == fs::path(b.path()).lexically_normal();
}

bool equalValues(CFTypeRef a, CFTypeRef b);

CFTypeRef lookup(const Dictionary& entries, CFTypeRef key) {
  for (const auto& [k, value] : entries)
    if (equalValues(k, key)) return value;
  return nullptr;
}

void releaseEntries(const Dictionary& entries) {
  for (const auto& [key, value] : entries) {
    CFRelease(key);
    CFRelease(value);
  }
}

CFObject::~CFObject() {
  if (auto* array = std::get_if<Array>(&payload))
    for (CFTypeRef value : *array) CFRelease(value);
  if (auto* dictionary = std::get_if<Dictionary>(&payload)) releaseEntries(*dictionary);
}

bool equalArrays(const Array& a, const Array& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!equalValues(a[i], b[i])) return false;
  return true;
}

bool equalDictionaries(const Dictionary& a, const Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const void* other = lookup(b, key);
    if (!other || !equalValues(value, other)) return false;
  }
  return true;
}

bool equalValues(CFTypeRef a, CFTypeRef b) {
  if (a == b) return true;
  if (!a || !b) return false;
  const auto& pa = object(a)->payload;
  const auto& pb = object(b)->payload;
  if (pa.index() != pb.index()) return false;
  if (auto* url = std::get_if<platform::NSURL>(&pa))
    return sameFileObject(*url, std::get<platform::NSURL>(pb));
  if (auto* array = std::get_if<Array>(&pa)) return equalArrays(*array, std::get<Array>(pb));
  if (auto* dictionary = std::get_if<Dictionary>(&pa))
    return equalDictionaries(*dictionary, std::get<Dictionary>(pb));
  return pa == pb;
}

template <typename Ref, typename T>
Ref create(T value) {
  return reinterpret_cast<Ref>(new CFObject(std::move(value)));
}

}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks{0};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks{0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks{0};

const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(new CFObject(true, true));
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(new CFObject(false, true));

CFTypeRef CFRetain(CFTypeRef ref) {
  if (ref && !object(ref)->immortal)
    const_cast<CFObject*>(object(ref))->references.fetch_add(1, std::memory_order_relaxed);
  return ref;
}

void CFRelease(CFTypeRef ref) {
  if (!ref || object(ref)->immortal) return;
  auto* o = const_cast<CFObject*>(object(ref));
  if (o->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  return equalValues(a, b);
}

CFStringRef CFStringMakeConstantString(const char* text) {
  static std::mutex mutex;
  // Never destroyed: constants stay valid while static destructors run.
  static auto* constants = new std::map<std::string, CFStringRef>;
  std::lock_guard lock(mutex);
  auto [it, inserted] = constants->try_emplace(text, nullptr);
  if (inserted) it->second = reinterpret_cast<CFStringRef>(new CFObject(std::string(text), true));
  return it->second;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
  if (!text || encoding != kCFStringEncodingUTF8) return nullptr;
  return create<CFStringRef>(std::string(text));
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) {
  const auto* text = payloadOf<std::string>(string);
  return text && encoding == kCFStringEncodingUTF8 ? text->c_str() : nullptr;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const bool* value = payloadOf<bool>(boolean);
  return value && *value;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
  if (capacity != 0 || callBacks != &kCFTypeArrayCallBacks) return nullptr;
  return create<CFMutableArrayRef>(Array{});
}

void CFArrayAppendValue(CFMutableArrayRef array, const void* value) {
  auto* values = const_cast<Array*>(payloadOf<Array>(array));
  if (values && value) values->push_back(CFRetain(value));
}

CFIndex CFArrayGetCount(CFArrayRef array) {
  const Array* values = payloadOf<Array>(array);
  return values ? static_cast<CFIndex>(values->size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
  const Array* values = payloadOf<Array>(array);
  if (!values || index < 0 || index >= static_cast<CFIndex>(values->size())) return nullptr;
  return (*values)[index];
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
  if (keyCallBacks != &kCFTypeDictionaryKeyCallBacks ||
      valueCallBacks != &kCFTypeDictionaryValueCallBacks || numValues < 0)
    return nullptr;
  Dictionary entries;
  for (CFIndex i = 0; i < numValues; ++i) {
    if (!keys[i] || !values[i]) {
      releaseEntries(entries);
      return nullptr;
    }
    entries.emplace_back(CFRetain(keys[i]), CFRetain(values[i]));
  }
  return create<CFDictionaryRef>(std::move(entries));
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
  const Dictionary* entries = payloadOf<Dictionary>(dictionary);
  return entries ? static_cast<CFIndex>(entries->size()) : 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const Dictionary* entries = payloadOf<Dictionary>(dictionary);
  return entries ? lookup(*entries, key) : nullptr;
}

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef, const FSRef* ref) {
  if (!ref || ref->path.empty()) return nullptr;
  return create<CFURLRef>(platform::NSURL::fileURLWithPath(ref->path));
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory) {
  if (!buffer || bufLen <= 0) return nullptr;
  const std::string path(reinterpret_cast<const char*>(buffer), static_cast<size_t>(bufLen));
  return create<CFURLRef>(platform::NSURL::fileURLWithPath(path, isDirectory));
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef* ref) {
  const auto* nsurl = payloadOf<platform::NSURL>(url);
  if (!nsurl || !nsurl->isFileURL() || !ref) return false;
  const std::string path = nsurl->path();
  return FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), ref, nullptr) == noErr;
}

CFURLRef CFBridgingRetain(const platform::NSURL& url) {
  return create<CFURLRef>(url);
}

namespace platform {

const NSURL& toNSURL(CFURLRef url) {
  static const NSURL empty;
  const auto* nsurl = payloadOf<NSURL>(url);
  return nsurl ? *nsurl : empty;
}

}  // namespace platform
