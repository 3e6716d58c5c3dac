#include "platform/carbon/Files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
  if (!path || !ref) return paramErr;
  const std::unique_ptr<char, decltype(&std::free)> canonical(
      realpath(reinterpret_cast<const char*>(path), nullptr), &std::free);
  struct stat st {};
  if (!canonical || stat(canonical.get(), &st) != 0) return fnfErr;
  ref->path = canonical.get();
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
  if (!ref || !path || ref->path.empty() || ref->path.size() >= maxPathSize) return paramErr;
  std::memcpy(path, ref->path.c_str(), ref->path.size() + 1);
  return noErr;
}
