// Named images: loaded from the main bundle's resources and registered under a short name.
#pragma once

#include <memory>
#include <string>

namespace platform {

struct NSSize {
  double width = 0, height = 0;
};

class NSImage {
 public:
  // imageNamed: a registered image of that name, else the main bundle's resource of that file
  // name ("KapshoStatus.png"), else nullptr.
  static std::shared_ptr<NSImage> imageNamed(const std::string& name);

  void setSize(NSSize size) { size_ = size; }
  NSSize size() const { return size_; }
  // setName: registers the image under the name for the life of the process.
  bool setName(const std::string& name);
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }

 private:
  explicit NSImage(std::string path) : path_(std::move(path)) {}
  std::string path_;
  std::string name_;
  NSSize size_;
};

}  // namespace platform
