// Whole-file reads, atomic writes, and paths.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// dataWithContentsOfFile: the bytes of a regular file as they are now, in one piece: a large file
// mapped where it can be (Data::withMappedFile), else read once to its end (in more pieces only
// when it grew meanwhile). nullopt when it cannot be read or is no regular file: a FIFO or a
// device is turned down without waiting for it.
std::optional<Data> dataWithContentsOfFile(const std::string& path);
std::optional<std::string> contentsOfFile(const std::string& path);
// The whole of a small regular file that no one but its owner may read or write (a file of keys
// or passwords), or nullopt and the reason: "others than its owner may use it (chmod 600)", "not
// a regular file", "too large" (over a MiB), or the system's.
std::optional<std::string> contentsOfPrivateFile(const std::string& path, std::string* error);

// Writes through a temporary file in the same folder, fsync, rename, and fsync of the folder,
// so that readers see the old contents or the new, never a part. Creates missing folders.
bool writeFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error = nullptr);

// stringByAppendingPathComponent: the path and the component joined by one '/', with runs of
// '/' made one and no '/' at the end ("/a//b/" and "c" give "/a/b/c"; "" and "c" give "c").
std::string stringByAppendingPathComponent(const std::string& path, const std::string& component);

// An exclusive lock on a lock file (flock), held while the object lives, so that a
// read-change-write of what the file guards is done by one holder at a time. Every FileLock is a
// holder of its own, also within one process.
class FileLock {
 public:
  // Creates the file (and missing folders) and waits up to timeout for the lock; held() tells
  // whether it was had, and error, if asked, why not.
  FileLock(const std::string& path, std::chrono::milliseconds timeout,
           std::string* error = nullptr);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform
