// PNG files of screenshots, made for the road to the upload: the rows are filtered on every core
// and compressed by libdeflate, much faster than zlib at the same size, in one zlib stream.
#pragma once

#include <QByteArray>
#include <QImage>

namespace kapsho_capture {

// libdeflate's level for screenshots: the file in place well within the time a person notices,
// and few enough bytes for the upload link (the capture benchmark weighs both).
constexpr int ScreenshotPngLevel = 4;

// The picture as the bytes of a PNG file, lossless: 8-bit RGB, or RGBA where the picture has an
// alpha channel. Level is libdeflate's, 0 (stored) to 12. An empty picture is refused with a
// CaptureError.
QByteArray encodePng(const QImage& image, int level = ScreenshotPngLevel);

}  // namespace kapsho_capture
