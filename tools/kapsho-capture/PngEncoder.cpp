#include "tools/kapsho-capture/PngEncoder.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

constexpr uint8_t Signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr int ColorTypeRgb = 2, ColorTypeRgba = 6;
// Fewer rows than this to a thread cost more in starting it than they save.
constexpr int MinimumRowsPerBand = 64;

enum Filter : uint8_t { Sub = 1, Up = 2 };

struct Rows {
  QImage image;  // RGB32 (bytes B, G, R, X) or RGBA8888 (bytes R, G, B, A)
  size_t bytesPerPixel;

  size_t rowBytes() const { return static_cast<size_t>(image.width()) * bytesPerPixel; }

  // Row y as PNG samples, R G B [A].
  void copyRow(int y, uint8_t* to) const {
    const uint8_t* from = image.constScanLine(y);
    if (bytesPerPixel == 4) {
      std::copy_n(from, rowBytes(), to);
      return;
    }
    for (int x = 0; x < image.width(); ++x, from += 4, to += 3) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
    }
  }
};

Rows rowsOf(const QImage& image) {
  if (image.hasAlphaChannel()) return {image.convertToFormat(QImage::Format_RGBA8888), 4};
  return {image.convertToFormat(QImage::Format_RGB32), 3};
}

// Hands each byte of the row, filtered by F, to take; the bytes left of the row are zero, as is
// the row above a picture's first.
template <Filter F, typename Take>
void forEachFiltered(const uint8_t* row, const uint8_t* above, size_t bytes, size_t bpp,
                     Take take) {
  if constexpr (F == Up) {
    for (size_t i = 0; i < bytes; ++i) take(static_cast<uint8_t>(row[i] - above[i]));
  } else {
    const size_t first = std::min(bpp, bytes);
    for (size_t i = 0; i < first; ++i) take(row[i]);
    for (size_t i = first; i < bytes; ++i) take(static_cast<uint8_t>(row[i] - row[i - bpp]));
  }
}

template <Filter F>
long sumOfFiltered(const uint8_t* row, const uint8_t* above, size_t bytes, size_t bpp) {
  long sum = 0;
  forEachFiltered<F>(row, above, bytes, bpp,
                     [&sum](uint8_t byte) { sum += std::abs(static_cast<int8_t>(byte)); });
  return sum;
}

template <Filter F>
uint8_t* writeFiltered(const uint8_t* row, const uint8_t* above, size_t bytes, size_t bpp,
                       uint8_t* out) {
  *out++ = F;
  forEachFiltered<F>(row, above, bytes, bpp, [&out](uint8_t byte) { *out++ = byte; });
  return out;
}

// The row behind its filter byte: Sub or Up, whichever's bytes read as signed add up less (the
// usual guess at what compresses best). On screen pictures the other filters, slower to try,
// made files no smaller.
uint8_t* filterRow(const uint8_t* row, const uint8_t* above, size_t bytes, size_t bpp,
                   uint8_t* out) {
  if (sumOfFiltered<Up>(row, above, bytes, bpp) < sumOfFiltered<Sub>(row, above, bytes, bpp))
    return writeFiltered<Up>(row, above, bytes, bpp, out);
  return writeFiltered<Sub>(row, above, bytes, bpp, out);
}

// Rows [first, end) filtered into out, each a filter byte and its samples.
void filterBand(const Rows& rows, int first, int end, uint8_t* out) {
  const size_t bytes = rows.rowBytes();
  std::vector<uint8_t> above(bytes, 0), row(bytes);
  if (first > 0) rows.copyRow(first - 1, above.data());
  for (int y = first; y < end; ++y) {
    rows.copyRow(y, row.data());
    out = filterRow(row.data(), above.data(), bytes, rows.bytesPerPixel, out);
    std::swap(above, row);
  }
}

// Left uninitialised: each band's thread writes, and first touches, its own part.
struct FilteredRows {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size;
};

FilteredRows filterRows(const Rows& rows) {
  const int height = rows.image.height();
  const size_t stride = rows.rowBytes() + 1;
  FilteredRows out{std::unique_ptr<uint8_t[]>(new uint8_t[stride * height]), stride * height};
  const int bands = std::clamp(height / MinimumRowsPerBand, 1,
                               static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  std::vector<std::jthread> workers;
  for (int band = 0; band < bands; ++band) {
    const int first = height * band / bands, end = height * (band + 1) / bands;
    workers.emplace_back(filterBand, std::cref(rows), first, end, out.bytes.get() + stride * first);
  }
  workers.clear();  // joins them: every band is written
  return out;
}

void putBigEndian(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

// A chunk whose data already stand at its place in file, after room for length and type.
void closeChunk(QByteArray& file, qsizetype start, const char* type, size_t length) {
  auto* chunk = reinterpret_cast<uint8_t*>(file.data()) + start;
  putBigEndian(chunk, static_cast<uint32_t>(length));
  std::copy_n(type, 4, chunk + 4);
  putBigEndian(chunk + 8 + length, libdeflate_crc32(0, chunk + 4, length + 4));
}

void appendChunk(QByteArray& file, const char* type, const uint8_t* data, size_t length) {
  const qsizetype start = file.size();
  file.resize(start + 12 + static_cast<qsizetype>(length));
  std::copy_n(data, length, reinterpret_cast<uint8_t*>(file.data()) + start + 8);
  closeChunk(file, start, type, length);
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};

}  // namespace

QByteArray encodePng(const QImage& image, int level) {
  if (image.isNull()) throw CaptureError("cannot encode an empty picture as png");
  const Rows rows = rowsOf(image);
  const FilteredRows filteredRows = filterRows(rows);

  QByteArray file(reinterpret_cast<const char*>(Signature), sizeof Signature);
  uint8_t header[13] = {};
  putBigEndian(header, static_cast<uint32_t>(image.width()));
  putBigEndian(header + 4, static_cast<uint32_t>(image.height()));
  header[8] = 8;
  header[9] = rows.bytesPerPixel == 4 ? ColorTypeRgba : ColorTypeRgb;
  appendChunk(file, "IHDR", header, sizeof header);

  const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(level));
  if (!compressor) throw CaptureError("cannot compress at level " + std::to_string(level));
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredRows.size);
  const qsizetype start = file.size();
  file.resize(start + 12 + static_cast<qsizetype>(bound));
  const size_t length =
      libdeflate_zlib_compress(compressor.get(), filteredRows.bytes.get(), filteredRows.size,
                               reinterpret_cast<uint8_t*>(file.data()) + start + 8, bound);
  // A chunk's length field holds 31 bits.
  if (length == 0 || length > 0x7fffffff) throw CaptureError("the picture is too large for png");
  file.resize(start + 12 + static_cast<qsizetype>(length));
  closeChunk(file, start, "IDAT", length);
  appendChunk(file, "IEND", nullptr, 0);
  return file;
}

}  // namespace kapsho_capture
