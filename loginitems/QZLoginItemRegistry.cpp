#include "loginitems/QZLoginItemRegistry.h"

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "platform/foundation/Log.h"

using platform::CFRef;
using platform::NSURL;

CFRef<CFArrayRef> QZLoginItemRegistry::allLoginItems() {
  CFArrayRef items = nullptr;
  const OSStatus status = LIAECopyLoginItems(&items);
  if (status != noErr) {
    NSLog("Couldn't list login items error %ld", static_cast<long>(status));
    return {};
  }
  return CFRef<CFArrayRef>(items);
}

bool QZLoginItemRegistry::addLoginItemWithURL(const NSURL& url, bool hideIt) {
  const CFRef<CFURLRef> item(CFBridgingRetain(url));
  const OSStatus status = LIAEAddURLAtEnd(item.get(), static_cast<Boolean>(hideIt));
  if (status != noErr) NSLog("Couldn't add login item error %ld", static_cast<long>(status));
  return status == noErr;
}

bool QZLoginItemRegistry::removeLoginItemAtIndex(std::int32_t index) {
  const OSStatus status = LIAERemove(index);
  if (status != noErr) NSLog("Couldn't remove login intem error %ld", static_cast<long>(status));
  return status == noErr;
}

std::int32_t QZLoginItemRegistry::indexForLoginItemWithURL(const NSURL& url) {
  const CFRef<CFArrayRef> items = allLoginItems();
  if (!items) return -1;
  const CFRef<CFURLRef> wanted(CFBridgingRetain(url));
  const CFIndex count = CFArrayGetCount(items.get());
  for (CFIndex i = 0; i < count; ++i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
    if (CFEqual(CFDictionaryGetValue(entry, CFSTR("URL")), wanted.get()))
      return static_cast<std::int32_t>(i);
  }
  return -1;
}

std::int32_t QZLoginItemRegistry::indexForLoginItemWithPath(const std::string& path) {
  return indexForLoginItemWithURL(NSURL::fileURLWithPath(path));
}

bool QZLoginItemRegistry::addLoginItemWithPath(const std::string& path, bool hideIt) {
  return addLoginItemWithURL(NSURL::fileURLWithPath(path), hideIt);
}

bool QZLoginItemRegistry::removeLoginItemWithPath(const std::string& path) {
  const std::int32_t index = indexForLoginItemWithPath(path);
  return index != -1 && removeLoginItemAtIndex(index);
}

bool QZLoginItemRegistry::removeLoginItemWithURL(const NSURL& url) {
  const std::int32_t index = indexForLoginItemWithURL(url);
  return index != -1 && removeLoginItemAtIndex(index);
}
