// A capture written aside under a hidden name in the folder it is meant for, then renamed into
// place whole, so that a watcher of the folder never sees a part of it. Until it is placed, the
// hidden file is removed when the object goes and when the process is ended by a signal.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kapsho_capture {

class PendingFile {
 public:
  // Creates the hidden file; throws CaptureError when the folder takes no new file.
  explicit PendingFile(const std::string& folder);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void write(std::string_view bytes);
  // Takes over another file (the portal's): renamed in when it lies on the same file system,
  // else copied; the original is removed once its bytes are here.
  void adopt(const std::string& path);

  // Flushes the file to disk and renames it to name(N) for the lowest N from 1 that no entry of
  // the folder has, never replacing one, even against other captures at the same moment.
  std::string placeNumbered(const std::function<std::string(long)>& name);
  // Flushes the file to disk and renames it over the given path.
  std::string placeAt(const std::string& path);

 private:
  void flush();
  std::string hiddenPath_;
  int fd_ = -1;
  bool placed_ = false;
};

}  // namespace kapsho_capture
