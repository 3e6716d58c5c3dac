// PNG files of screenshots, made for the road to the upload: the picture is cut into one band of
// rows per core, and each band is filtered and compressed on its own core by ISA-L's deflate and
// ended on a byte boundary, so that the bands laid end to end are one zlib stream.
#pragma once

#include <QByteArray>
#include <QImage>

namespace kapsho_capture {

// ISA-L's level for screenshots, chosen for the whole road to the address: measured on screens
// of text and a photo, level 2 makes files 8-11% larger than libdeflate's level 5 in a quarter of
// its time, which through 20 Mbit/s comes out even at 1080p and ahead at 4K, and far ahead on
// faster links; level 1 takes as long for files 1% larger, level 3 a quarter longer for files
// hardly smaller.
constexpr int ScreenshotPngLevel = 2;

// The picture as the bytes of a PNG file, lossless: 8-bit RGB, or RGBA where the picture has an
// alpha channel. Level is ISA-L's, 0 to 3. An empty picture or another level is refused with a
// CaptureError.
QByteArray encodePng(const QImage& image, int level = ScreenshotPngLevel);

}  // namespace kapsho_capture
