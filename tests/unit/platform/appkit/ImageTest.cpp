#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>

#include "platform/appkit/Image.h"
#include "platform/foundation/Bundle.h"

using namespace platform;

namespace {

// A picture among the main bundle's resources (beside the test program) for the test's span,
// named after the process so that tests run side by side do not meet.
class Resource {
 public:
  explicit Resource(const std::string& stem)
      : name(stem + std::to_string(getpid())),
        path(NSBundle::mainBundle().resourcePath() + "/" + name + ".png") {
    std::filesystem::create_directories(NSBundle::mainBundle().resourcePath());
    QImage(40, 30, QImage::Format_ARGB32).save(QString::fromStdString(path));
  }
  ~Resource() { std::filesystem::remove(path); }
  const std::string name, path;
};

TEST(NamedImages, FoundAmongResourcesThenByTheirRegisteredName) {
  Resource status("KapshoTestStatus"), other("KapshoTestOther");
  auto image = NSImage::imageNamed(status.name + ".png");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->path(), status.path);
  EXPECT_EQ(image->size().width, 40);
  EXPECT_NE(NSImage::imageNamed(status.name), image) << "unregistered: a fresh image each time";
  image->setSize({20, 20});
  EXPECT_TRUE(image->setName(status.name));

  // Registered, it is found by the short name for good, size and all.
  std::filesystem::remove(status.path);
  EXPECT_EQ(NSImage::imageNamed(status.name), image);
  EXPECT_EQ(NSImage::imageNamed(status.name)->size().height, 20);

  // One image per name; renaming frees the old name.
  auto second = NSImage::imageNamed(other.name + ".png");
  EXPECT_FALSE(second->setName(status.name));
  EXPECT_TRUE(second->setName(other.name + "-a"));
  EXPECT_TRUE(second->setName(other.name + "-b"));
  EXPECT_EQ(NSImage::imageNamed(other.name + "-a"), nullptr);
  EXPECT_EQ(NSImage::imageNamed(other.name + "-b"), second);
  EXPECT_EQ(NSImage::imageNamed("KapshoTestMissing.png"), nullptr);
}

}  // namespace
