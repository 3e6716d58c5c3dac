#include "tools/kapsho-capture/PngEncoder.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

constexpr uint8_t Signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr int ColorTypeRgb = 2, ColorTypeRgba = 6;
// Deflate with a 32 KiB window, no preset dictionary; the check bits make the pair a multiple
// of 31.
constexpr uint8_t ZlibHeader[] = {0x78, 0x01};
// Fewer rows than this to a thread cost more in starting it than they save.
constexpr int MinimumRowsPerBand = 64;
// Rows are filtered this many bytes at a time, which stay in the core's cache until compressed.
constexpr size_t FilteredBytesPerStep = 256 * 1024;

enum Filter : uint8_t { Sub = 1, Up = 2 };

struct Rows {
  QImage image;  // RGB32 (bytes B, G, R, X) or RGBA8888 (bytes R, G, B, A)
  size_t bytesPerPixel;
  size_t rowBytes;

  // Row y as PNG samples, R G B [A].
  void copyRow(int y, uint8_t* to) const {
    const uint8_t* from = image.constScanLine(y);
    if (bytesPerPixel == 4) {
      std::memcpy(to, from, rowBytes);
      return;
    }
    for (size_t i = 0, j = 0; i < rowBytes; i += 3, j += 4) {
      to[i] = from[j + 2];
      to[i + 1] = from[j + 1];
      to[i + 2] = from[j];
    }
  }
};

Rows rowsOf(const QImage& image) {
  const auto width = static_cast<size_t>(image.width());
  if (image.hasAlphaChannel())
    return {image.convertToFormat(QImage::Format_RGBA8888), 4, width * 4};
  return {image.convertToFormat(QImage::Format_RGB32), 3, width * 3};
}

// Up and Sub of one row, with the sum of each one's bytes read as signed: the smaller sum is the
// usual guess at what compresses best. On screen pictures the other filters, slower to try, made
// files no smaller. The bytes left of the row are zero, as is the row above a picture's first.
void filterRow(const uint8_t* row, const uint8_t* above, size_t bytes, size_t bpp, uint8_t* out,
               uint8_t* sub) {
  unsigned long upSum = 0, subSum = 0;
  for (size_t i = 0; i < bytes; ++i) {
    out[1 + i] = static_cast<uint8_t>(row[i] - above[i]);
    upSum += static_cast<unsigned>(std::abs(static_cast<int8_t>(out[1 + i])));
  }
  const size_t lead = std::min(bpp, bytes);
  for (size_t i = 0; i < lead; ++i) {
    sub[i] = row[i];
    subSum += static_cast<unsigned>(std::abs(static_cast<int8_t>(sub[i])));
  }
  for (size_t i = lead; i < bytes; ++i) {
    sub[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
    subSum += static_cast<unsigned>(std::abs(static_cast<int8_t>(sub[i])));
  }
  out[0] = Up;
  if (subSum <= upSum) {
    out[0] = Sub;
    std::memcpy(out + 1, sub, bytes);
  }
}

size_t levelBufferSize(int level) {
  switch (level) {
    case 0:
      return ISAL_DEF_LVL0_DEFAULT;
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    case 3:
      return ISAL_DEF_LVL3_DEFAULT;
  }
  throw CaptureError("cannot compress at level " + std::to_string(level));
}

// One band's deflate blocks: a band but the last ends in an empty stored block, on a byte
// boundary, and the next band's blocks follow it as if one compressor had made them all.
class BandCompressor {
 public:
  // Input is about how many bytes the band will be given.
  BandCompressor(int level, bool last, size_t input)
      : levelBuffer_(levelBufferSize(level)),
        last_(last),
        firstCapacity_(std::max(input / 4, 2 * FilteredBytesPerStep)) {
    isal_deflate_init(&stream_);
    stream_.level = static_cast<uint32_t>(level);
    stream_.level_buf = levelBuffer_.data();
    stream_.level_buf_size = static_cast<uint32_t>(levelBuffer_.size());
  }
  // The stream holds pointers into the buffers: it stays where it was made.
  BandCompressor(const BandCompressor&) = delete;
  BandCompressor& operator=(const BandCompressor&) = delete;

  void add(uint8_t* bytes, size_t size, bool bandEnds) {
    adler_ = isal_adler32(adler_, bytes, size);
    stream_.next_in = bytes;
    stream_.avail_in = static_cast<uint32_t>(size);
    stream_.end_of_stream = bandEnds && last_;
    stream_.flush = bandEnds && !last_ ? SYNC_FLUSH : NO_FLUSH;
    do {
      if (capacity_ - stream_.total_out < FilteredBytesPerStep) grow();
      if (isal_deflate(&stream_) != COMP_OK) throw CaptureError("cannot compress the picture");
    } while (stream_.avail_in > 0 || stream_.avail_out == 0);
    if (stream_.end_of_stream && stream_.internal_state.state != ZSTATE_END)
      throw CaptureError("cannot end the compressed picture");
  }

  const uint8_t* bytes() const { return out_.get(); }
  size_t size() const { return stream_.total_out; }
  uint32_t adler32() const { return adler_; }

 private:
  // Left uninitialised, and at first as large as screens usually compress to: zeroing and
  // copying it cost more than the deflate of flat areas.
  void grow() {
    const size_t capacity = capacity_ > 0 ? 2 * capacity_ : firstCapacity_;
    auto larger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (stream_.total_out > 0) std::memcpy(larger.get(), out_.get(), stream_.total_out);
    out_ = std::move(larger);
    capacity_ = capacity;
    stream_.next_out = out_.get() + stream_.total_out;
    stream_.avail_out = static_cast<uint32_t>(capacity_ - stream_.total_out);
  }

  isal_zstream stream_{};
  std::vector<uint8_t> levelBuffer_;
  bool last_;
  size_t firstCapacity_;
  std::unique_ptr<uint8_t[]> out_;
  size_t capacity_ = 0;
  uint32_t adler_ = 1;
};

// Rows [first, end) filtered a step at a time and compressed; the band's first row is filtered
// against the last row of the band above.
void compressBand(const Rows& rows, int first, int end, BandCompressor& compressor) {
  const size_t bytes = rows.rowBytes, stride = bytes + 1;
  const size_t rowsPerStep = std::max<size_t>(1, FilteredBytesPerStep / stride);
  std::vector<uint8_t> above(bytes, 0), row(bytes), sub(bytes), filtered(rowsPerStep * stride);
  if (first > 0) rows.copyRow(first - 1, above.data());
  for (int y = first; y < end;) {
    uint8_t* out = filtered.data();
    for (size_t n = 0; n < rowsPerStep && y < end; ++n, ++y, out += stride) {
      rows.copyRow(y, row.data());
      filterRow(row.data(), above.data(), bytes, rows.bytesPerPixel, out, sub.data());
      std::swap(above, row);
    }
    compressor.add(filtered.data(), static_cast<size_t>(out - filtered.data()), y == end);
  }
}

struct CompressedBand {
  CompressedBand(int first, int end, int level, bool last, size_t rowBytes)
      : first(first), end(end), compressor(level, last, (rowBytes + 1) * (end - first)) {}
  int first, end;
  BandCompressor compressor;
  std::exception_ptr failure;
};

std::deque<CompressedBand> compressBands(const Rows& rows, int level) {
  const int height = rows.image.height();
  const int bands = std::clamp(height / MinimumRowsPerBand, 1,
                               static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  std::deque<CompressedBand> compressed;
  for (int band = 0; band < bands; ++band)
    compressed.emplace_back(height * band / bands, height * (band + 1) / bands, level,
                            band == bands - 1, rows.rowBytes);
  {
    std::vector<std::jthread> workers;
    for (CompressedBand& band : compressed)
      workers.emplace_back([&rows, &band] {
        try {
          compressBand(rows, band.first, band.end, band.compressor);
        } catch (...) {
          band.failure = std::current_exception();
        }
      });
  }
  for (const CompressedBand& band : compressed)
    if (band.failure) std::rethrow_exception(band.failure);
  return compressed;
}

void putBigEndian(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint8_t* fileBytes(QByteArray& file, qsizetype at) {
  return reinterpret_cast<uint8_t*>(file.data()) + at;
}

// A chunk whose data already stand at its place in file, after room for length and type.
void closeChunk(QByteArray& file, qsizetype start, const char* type, size_t length) {
  uint8_t* chunk = fileBytes(file, start);
  putBigEndian(chunk, static_cast<uint32_t>(length));
  std::memcpy(chunk + 4, type, 4);
  putBigEndian(chunk + 8 + length, crc32_gzip_refl(0, chunk + 4, length + 4));
}

void appendChunk(QByteArray& file, const char* type, const uint8_t* data, size_t length) {
  const qsizetype start = file.size();
  file.resize(start + 12 + static_cast<qsizetype>(length));
  if (length > 0) std::memcpy(fileBytes(file, start + 8), data, length);
  closeChunk(file, start, type, length);
}

// The zlib stream of the bands: its header, the bands' blocks, the checksum of all their bytes.
void appendImageData(QByteArray& file, const std::deque<CompressedBand>& bands, size_t rowBytes) {
  size_t length = sizeof ZlibHeader + 4;
  for (const CompressedBand& band : bands) length += band.compressor.size();
  // A chunk's length field holds 31 bits.
  if (length > 0x7fffffff) throw CaptureError("the picture is too large for png");
  const qsizetype start = file.size();
  file.resize(start + 12 + static_cast<qsizetype>(length));
  uint8_t* at = fileBytes(file, start + 8);
  at = std::copy(std::begin(ZlibHeader), std::end(ZlibHeader), at);
  uLong adler = 1;
  for (const CompressedBand& band : bands) {
    at = std::copy_n(band.compressor.bytes(), band.compressor.size(), at);
    const auto bandBytes = static_cast<z_off_t>((rowBytes + 1) * (band.end - band.first));
    adler = adler32_combine(adler, band.compressor.adler32(), bandBytes);
  }
  putBigEndian(at, static_cast<uint32_t>(adler));
  closeChunk(file, start, "IDAT", length);
}

}  // namespace

QByteArray encodePng(const QImage& image, int level) {
  if (image.isNull()) throw CaptureError("cannot encode an empty picture as png");
  const Rows rows = rowsOf(image);
  const std::deque<CompressedBand> bands = compressBands(rows, level);

  QByteArray file(reinterpret_cast<const char*>(Signature), sizeof Signature);
  uint8_t header[13] = {};
  putBigEndian(header, static_cast<uint32_t>(image.width()));
  putBigEndian(header + 4, static_cast<uint32_t>(image.height()));
  header[8] = 8;
  header[9] = rows.bytesPerPixel == 4 ? ColorTypeRgba : ColorTypeRgb;
  appendChunk(file, "IHDR", header, sizeof header);
  appendImageData(file, bands, rows.rowBytes);
  appendChunk(file, "IEND", nullptr, 0);
  return file;
}

}  // namespace kapsho_capture
