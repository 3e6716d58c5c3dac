// PNG files of screenshots, made for the road to the upload: the picture is cut into one band of
// rows per core, and each band is filtered and compressed on its own core by ISA-L's deflate and
// ended on a byte boundary, so that the bands laid end to end are one zlib stream.
#pragma once

#include <QByteArray>
#include <QImage>

namespace kapsho_capture {

// ISA-L's level for screenshots, chosen for the whole road to the address: measured on screens
// of text and a photo, level 2 makes files a few percent larger than libdeflate's level 5 at a
// fifth of its time, which on any uplink of 20 Mbit/s or more arrives sooner; level 3 takes twice
// as long for files hardly smaller.
constexpr int ScreenshotPngLevel = 2;

// The picture as the bytes of a PNG file, lossless: 8-bit RGB, or RGBA where the picture has an
// alpha channel. Level is ISA-L's, 0 to 3. An empty picture or another level is refused with a
// CaptureError.
QByteArray encodePng(const QImage& image, int level = ScreenshotPngLevel);

}  // namespace kapsho_capture
