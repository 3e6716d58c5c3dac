// The Core Foundation subset: reference-counted strings, booleans, arrays, dictionaries and file
// URLs, with retain, release and equality.
#pragma once

#include <utility>

#include "platform/carbon/Files.h"
#include "platform/carbon/MacTypes.h"
#include "platform/foundation/URL.h"

struct OpaqueCFString;
struct OpaqueCFBoolean;
struct OpaqueCFArray;
struct OpaqueCFDictionary;
struct OpaqueCFURL;
struct OpaqueCFAllocator;

using CFTypeRef = const void*;
using CFStringRef = const OpaqueCFString*;
using CFBooleanRef = const OpaqueCFBoolean*;
using CFArrayRef = const OpaqueCFArray*;
using CFMutableArrayRef = OpaqueCFArray*;
using CFDictionaryRef = const OpaqueCFDictionary*;
using CFURLRef = const OpaqueCFURL*;
using CFAllocatorRef = const OpaqueCFAllocator*;
using CFStringEncoding = UInt32;

inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

// Collections of this subset always retain what they hold: only the CF type callbacks exist.
struct CFArrayCallBacks {
  CFIndex version;
};
struct CFDictionaryKeyCallBacks {
  CFIndex version;
};
struct CFDictionaryValueCallBacks {
  CFIndex version;
};
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
// Same kind and same contents; file URLs are equal when they name the same file-system object.
Boolean CFEqual(CFTypeRef a, CFTypeRef b);

// Constant strings live as long as the process; retain and release do nothing to them.
CFStringRef CFStringMakeConstantString(const char* text);
#define CFSTR(text) CFStringMakeConstantString("" text "")
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text,
                                      CFStringEncoding encoding);
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
Boolean CFBooleanGetValue(CFBooleanRef boolean);

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFMutableArrayRef array, const void* value);
CFIndex CFArrayGetCount(CFArrayRef array);
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);

// The file URL of the referenced object (a directory's ends in '/').
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* ref);
// The file URL of path bytes as given; no look at the file system.
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
// false when the URL names no existing object.
Boolean CFURLGetFSRef(CFURLRef url, FSRef* ref);

// Toll-free bridging between the foundation's NSURL and CFURLRef.
CFURLRef CFBridgingRetain(const platform::NSURL& url);

namespace platform {

const NSURL& toNSURL(CFURLRef url);

// Owns one reference to a CF object and releases it when it goes.
template <typename Ref>
class CFRef {
 public:
  CFRef() = default;
  explicit CFRef(Ref adopted) : ref_(adopted) {}
  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ref_, nullptr));
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;
  ~CFRef() { reset(nullptr); }

  Ref get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  void reset(Ref adopted) {
    if (ref_) CFRelease(ref_);
    ref_ = adopted;
  }

 private:
  Ref ref_ = nullptr;
};

}  // namespace platform
