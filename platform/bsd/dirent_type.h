// The type code of a directory entry, also where the file system does not report one.
#pragma once

#include <dirent.h>

// The entry's d_type; where that is DT_UNKNOWN, the type of the entry itself (a link is not
// followed), or DT_UNKNOWN when it cannot be read. The codes are the BSD numbers.
unsigned char direntType(DIR* dir, const struct dirent* entry);
