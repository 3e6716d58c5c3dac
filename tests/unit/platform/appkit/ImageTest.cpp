#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>

#include "platform/appkit/Image.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/TestSupport.h"

using namespace platform;

namespace {

// A picture among the main bundle's resources (next to the test program) while the test runs;
// names carry the process ID so that tests run side by side do not meet.
class Resource {
 public:
  Resource(const std::string& stem, int width, int height)
      : name_(stem + "-" + std::to_string(getpid())),
        path_(NSBundle::mainBundle().resourcePath() + "/" + name_ + ".png") {
    std::filesystem::create_directories(NSBundle::mainBundle().resourcePath());
    QImage picture(width, height, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    if (!picture.save(QString::fromStdString(path_))) throw std::runtime_error("cannot save");
  }
  ~Resource() { std::filesystem::remove(path_); }
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }

 private:
  std::string name_, path_;
};

TEST(NamedImages, FoundAmongResourcesThenByTheirRegisteredName) {
  Resource status("KapshoTestStatus", 40, 40), other("KapshoTestOther", 20, 20);
  auto image = NSImage::imageNamed(status.name() + ".png");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->path(), status.path());
  // Unregistered, a resource gives a fresh image each time, also when named without its type.
  auto again = NSImage::imageNamed(status.name());
  ASSERT_TRUE(again);
  EXPECT_NE(again, image);
  EXPECT_EQ(again->path(), status.path());
  EXPECT_EQ(image->size().width, 40);
  image->setSize({20, 20});
  EXPECT_TRUE(image->setName(status.name()));
  EXPECT_EQ(image->name(), status.name());

  // Registered: found by the short name for good, and no longer only as a resource.
  std::filesystem::remove(status.path());
  auto found = NSImage::imageNamed(status.name());
  EXPECT_EQ(found, image);
  EXPECT_EQ(found->size().width, 20);
  EXPECT_EQ(found->size().height, 20);
  EXPECT_TRUE(image->setName(status.name()));

  // A name is held by one image at a time; renaming frees the old name.
  auto second = NSImage::imageNamed(other.name() + ".png");
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->setName(status.name()));
  EXPECT_TRUE(second->setName(other.name() + "-renamed"));
  EXPECT_TRUE(second->setName(other.name() + "-final"));
  EXPECT_EQ(NSImage::imageNamed(other.name() + "-renamed"), nullptr);
  EXPECT_EQ(NSImage::imageNamed(other.name() + "-final"), second);

  EXPECT_EQ(NSImage::imageNamed("KapshoTestMissing.png"), nullptr);
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("broken.png"), "not a picture");
  EXPECT_EQ(NSImage::imageWithContentsOfFile(dir.file("broken.png")), nullptr);
}

}  // namespace
