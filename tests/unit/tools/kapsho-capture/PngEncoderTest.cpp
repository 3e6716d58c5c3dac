#include "tools/kapsho-capture/PngEncoder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <random>

#include "tests/support/TestSupport.h"
#include "tools/kapsho-capture/CaptureError.h"

using namespace testing_support;
using kapsho_capture::encodePng;

namespace {

// What a screen holds: flat panels, hard edges, a gradient and a noisy photo-like patch, so that
// rows choose each filter and every band's first row differs from the last row above it.
QImage screenLike(int width, int height, QImage::Format format) {
  QImage image(width, height, QImage::Format_ARGB32);
  std::mt19937 noise(7);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      QRgb pixel = qRgba(240, 240, 236, 255);
      if (x < width / 4) pixel = qRgba(x * 255 / width, y % 256, 90, 255);
      if (y % 9 == 0 && x % 5 < 3) pixel = qRgba(20, 20, 20, 255);
      if (x > width / 2 && y > height / 3)
        pixel = qRgba(noise() % 256, noise() % 256, noise() % 256, (x * 7 + y) % 256);
      image.setPixel(x, y, pixel);
    }
  return image.convertToFormat(format);
}

// Dark and grey columns: each row is best filtered against the row above, also the first row of
// a band filtered on another core.
QImage stripes(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.setPixel(x, y, x % 2 ? qRgb(0, 0, 0) : qRgb(120, 120, 120));
  return image;
}

// Noise, which compresses to more than a screen would: the compressor's room must grow.
QImage noise(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  std::mt19937 bits(11);
  for (int y = 0; y < height; ++y)
    std::generate_n(reinterpret_cast<QRgb*>(image.scanLine(y)), width, [&] { return bits(); });
  return image;
}

// What pngcheck, an independent reader, says of the file: its structure, every CRC and the
// zlib stream.
std::string pngcheck(const QByteArray& png) {
  TempDir folder;
  QFile file(QString::fromStdString(folder.file("picture.png")));
  file.open(QIODevice::WriteOnly);
  file.write(png);
  file.close();
  const CommandResult result = runCommand({"pngcheck", "-q", folder.file("picture.png")});
  return std::to_string(result.exitCode) + " " + result.out;
}

}  // namespace

TEST(PngEncoder, EveryPictureReadsBackPixelForPixelFromAValidFile) {
  struct Case {
    const char* what;
    QImage image;
    QImage::Format compared;
  };
  const Case cases[] = {
      {"a screen without alpha", screenLike(641, 300, QImage::Format_RGB32), QImage::Format_RGB32},
      {"a picture with alpha", screenLike(97, 131, QImage::Format_ARGB32), QImage::Format_ARGB32},
      {"premultiplied alpha", screenLike(50, 70, QImage::Format_ARGB32_Premultiplied),
       QImage::Format_ARGB32},
      {"another format", screenLike(33, 200, QImage::Format_RGB16), QImage::Format_RGB32},
      {"one pixel", screenLike(1, 1, QImage::Format_RGB32), QImage::Format_RGB32},
      {"one column", screenLike(1, 1000, QImage::Format_RGB32), QImage::Format_RGB32},
      {"columns, in bands on every core", stripes(64, 1000), QImage::Format_RGB32},
      {"noise, larger than a screen compresses to", noise(1200, 800), QImage::Format_RGB32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QByteArray png = encodePng(c.image);
    EXPECT_EQ(pngcheck(png), "0 ") << "pngcheck found the file faulty";
    const QImage back = QImage::fromData(png, "png");
    ASSERT_FALSE(back.isNull()) << "Qt's reader could not read the file";
    EXPECT_EQ(back.hasAlphaChannel(), c.image.hasAlphaChannel());
    EXPECT_TRUE(back.convertToFormat(c.compared) == c.image.convertToFormat(c.compared))
        << "the pixels read back differ from the picture's";
  }
}

TEST(PngEncoder, EachLevelOfIsalIsTakenAndOthersAreRefused) {
  const QImage image = screenLike(400, 300, QImage::Format_RGB32);
  std::vector<qsizetype> sizes;
  for (int level = 0; level <= 3; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const QByteArray png = encodePng(image, level);
    EXPECT_TRUE(QImage::fromData(png, "png").convertToFormat(QImage::Format_RGB32) == image);
    sizes.push_back(png.size());
  }
  EXPECT_GT(sizes[0], sizes[1]) << "level 1 compresses no better than level 0";
  EXPECT_GT(sizes[1], sizes[3]) << "level 3 compresses no better than level 1";
  EXPECT_THROW(encodePng(QImage()), kapsho_capture::CaptureError);
  EXPECT_THROW(encodePng(image, 4), kapsho_capture::CaptureError);
  EXPECT_THROW(encodePng(image, -1), kapsho_capture::CaptureError);
}
