// File Manager references: a reference names an existing file-system object by its canonical
// path (symbolic links resolved, no "." or ".." components, no trailing '/').
#pragma once

#include <string>

#include "platform/carbon/MacTypes.h"

struct FSRef {
  std::string path;
};

// A reference to the object at a zero-terminated POSIX path; fnfErr when there is none.
// isDirectory may be null.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);

// The zero-terminated path of a reference; paramErr when it does not fit in maxPathSize bytes.
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);
