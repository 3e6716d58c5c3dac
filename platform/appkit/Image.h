// Named images: loaded from the main bundle's resources and registered under a short name.
#pragma once

#include <memory>
#include <string>

class QImage;

namespace platform {

struct NSSize {
  double width = 0, height = 0;
};

class NSImage : public std::enable_shared_from_this<NSImage> {
 public:
  // imageNamed: a registered image of that name, else the main bundle's resource of that file
  // name ("Status.png"; a name without extension is looked for as PNG), else nullptr.
  static std::shared_ptr<NSImage> imageNamed(const std::string& name);
  // initWithContentsOfFile: an image file at a path, unregistered; nullptr when it is no image.
  // Its size starts as the file's pixel size.
  static std::shared_ptr<NSImage> imageWithContentsOfFile(const std::string& path);
  // An unregistered image of pixels the layer already holds (an interface file's picture), at
  // their size; nullptr for null pixels.
  static std::shared_ptr<NSImage> imageWithPixels(const QImage& pixels);

  void setSize(NSSize size) { size_ = size; }
  NSSize size() const { return size_; }
  // setName: registers the image under the name for the life of the process, in place of its
  // former name; false when another image holds the name.
  bool setName(const std::string& name);
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  // The pixels, decoded once when the image was loaded.
  const QImage& pixels() const { return *pixels_; }

 private:
  NSImage(std::string path, std::shared_ptr<const QImage> pixels)
      : path_(std::move(path)), pixels_(std::move(pixels)) {}
  std::string path_;
  std::shared_ptr<const QImage> pixels_;
  std::string name_;
  NSSize size_;
};

}  // namespace platform
