// PNG files of screenshots, made for the road to the upload: the rows are filtered on every core
// and compressed by libdeflate, much faster than zlib at the same size, in one zlib stream.
#pragma once

#include <QByteArray>
#include <QImage>

namespace kapsho_capture {

// libdeflate's level for screenshots, chosen for the upload that follows: measured on screens of
// text and a photo, level 5 costs about 10% more time than levels 2-4 for files 3% smaller,
// which a 20 Mbit/s link repays twice over; levels above it save almost nothing more.
constexpr int ScreenshotPngLevel = 5;

// The picture as the bytes of a PNG file, lossless: 8-bit RGB, or RGBA where the picture has an
// alpha channel. Level is libdeflate's, 0 (stored) to 12. An empty picture is refused with a
// CaptureError.
QByteArray encodePng(const QImage& image, int level = ScreenshotPngLevel);

}  // namespace kapsho_capture
