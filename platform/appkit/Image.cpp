#include "platform/appkit/Image.h"

#include <QImage>
#include <QImageReader>
#include <map>

#include "platform/foundation/Bundle.h"

namespace platform {

namespace {

// Images registered by name live as long as the process; the agent keeps no reference itself.
std::map<std::string, std::shared_ptr<NSImage>>& registry() {
  static std::map<std::string, std::shared_ptr<NSImage>> images;
  return images;
}

}  // namespace

std::shared_ptr<NSImage> NSImage::imageNamed(const std::string& name) {
  if (auto found = registry().find(name); found != registry().end()) return found->second;
  const auto dot = name.rfind('.');
  const bool hasType = dot != std::string::npos && dot > 0;
  const auto path = NSBundle::mainBundle().pathForResource(hasType ? name.substr(0, dot) : name,
                                                           hasType ? name.substr(dot + 1) : "png");
  return path ? imageWithContentsOfFile(*path) : nullptr;
}

std::shared_ptr<NSImage> NSImage::imageWithContentsOfFile(const std::string& path) {
  QImageReader reader(QString::fromStdString(path));
  auto image = imageWithPixels(reader.read());
  if (image) image->path_ = path;
  return image;
}

std::shared_ptr<NSImage> NSImage::imageWithPixels(const QImage& pixels) {
  if (pixels.isNull()) return nullptr;
  std::shared_ptr<NSImage> image(new NSImage("", std::make_shared<QImage>(pixels)));
  image->size_ = {static_cast<double>(pixels.width()), static_cast<double>(pixels.height())};
  return image;
}

bool NSImage::setName(const std::string& name) {
  auto& images = registry();
  if (name == name_) return !name.empty();
  if (name.empty() || images.count(name)) return false;
  if (!name_.empty()) images.erase(name_);
  name_ = name;
  images[name] = shared_from_this();
  return true;
}

}  // namespace platform
