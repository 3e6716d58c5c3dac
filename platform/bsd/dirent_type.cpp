#include "platform/bsd/dirent_type.h"

#include <fcntl.h>
#include <sys/stat.h>

unsigned char direntType(DIR* dir, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type;
  struct stat status;
  if (fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return static_cast<unsigned char>(IFTODT(status.st_mode));
}
