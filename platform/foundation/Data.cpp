#include "platform/foundation/Data.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

namespace platform {

// One block of storage: the heap's when small; else a mapping of its own, which goes back to the
// system the moment it is released (the heap may keep large blocks resident); or storage of another
// kind, which only its own `release` gives back.
class Data::Buffer {
 public:
  explicit Buffer(size_t wanted) : capacity_(wanted) {
    if (wanted < LargeBytes) {
      bytes_ = static_cast<std::uint8_t*>(std::malloc(std::max<size_t>(wanted, 1)));
      if (!bytes_) throw std::bad_alloc();
      release_ = [bytes = bytes_] { std::free(bytes); };
      return;
    }
    void* mapped =
        mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    bytes_ = static_cast<std::uint8_t*>(mapped);
    release_ = [mapped, wanted] { munmap(mapped, wanted); };
  }
  Buffer(std::uint8_t* bytes, size_t length, std::function<void()> release)
      : capacity_(length), bytes_(bytes), release_(std::move(release)), writable_(false) {}
  ~Buffer() { release_(); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  std::uint8_t* bytes() const { return bytes_; }
  size_t capacity() const { return capacity_; }
  // Storage of another kind is never written into, not even past the bytes a Data holds of it.
  bool writable() const { return writable_; }

 private:
  const size_t capacity_;
  std::uint8_t* bytes_ = nullptr;
  std::function<void()> release_;
  const bool writable_ = true;
};

std::uint8_t* Data::Piece::begin() const {
  return buffer->bytes() + offset;
}

Data::Data(const void* bytes, size_t length) {
  append(bytes, length);
}

Data Data::withStorage(std::uint8_t* bytes, size_t length, std::function<void()> release) {
  Data data;
  data.pieces_.push_back({std::make_shared<Buffer>(bytes, length, std::move(release)), 0, length});
  data.size_ = length;
  return data;
}

const std::uint8_t* Data::bytes() const {
  if (pieces_.size() < 2) return pieces_.empty() ? nullptr : pieces_.front().begin();
  static std::mutex joining;
  const std::lock_guard lock(joining);
  if (!joined_.buffer) {
    auto whole = std::make_shared<Buffer>(size_);
    std::uint8_t* at = whole->bytes();
    for (const Piece& piece : pieces_) at = std::copy_n(piece.begin(), piece.length, at);
    joined_.buffer = std::move(whole);
  }
  return joined_.buffer->bytes();
}

std::vector<std::span<const std::uint8_t>> Data::pieces() const {
  std::vector<std::span<const std::uint8_t>> spans;
  spans.reserve(pieces_.size());
  for (const Piece& piece : pieces_) spans.emplace_back(piece.begin(), piece.length);
  return spans;
}

Data Data::subdataWithRange(size_t location, size_t length) const {
  if (location > size_ || length > size_ - location) throw std::out_of_range("subdataWithRange");
  Data part;
  for (const Piece& piece : pieces_) {
    if (part.size_ == length) break;
    if (location >= piece.length) {
      location -= piece.length;
      continue;
    }
    const size_t taken = std::min(piece.length - location, length - part.size_);
    part.pieces_.push_back({piece.buffer, piece.offset + location, taken});
    part.size_ += taken;
    location = 0;
  }
  return part;
}

void Data::append(const void* bytes, size_t length) {
  if (length == 0) return;
  Piece& last = roomAtEnd(length);
  std::memcpy(last.begin() + last.length, bytes, length);
  grew(last, length);
}

void Data::append(const Data& other) {
  // Holds the storage should `other` be this Data itself.
  const Data source = other;
  for (const Piece& piece : source.pieces_) {
    if (piece.length < LargeBytes) {
      append(piece.begin(), piece.length);
      continue;
    }
    pieces_.push_back(piece);
    size_ += piece.length;
    joined_.buffer.reset();
  }
}

ssize_t Data::appendFrom(size_t length, const std::function<ssize_t(std::uint8_t*, size_t)>& fill) {
  Piece& last = roomAtEnd(length);
  const size_t end = last.offset + last.length;
  const ssize_t written = fill(last.buffer->bytes() + end, last.buffer->capacity() - end);
  if (written > 0) grew(last, static_cast<size_t>(written));
  // A piece started for nothing goes again: no piece is empty.
  if (last.length == 0) pieces_.pop_back();
  return written;
}

bool Data::operator==(const Data& other) const {
  return size_ == other.size_ && std::equal(begin(), end(), other.begin());
}

Data::Piece& Data::roomAtEnd(size_t length) {
  if (!pieces_.empty() && pieces_.back().buffer.use_count() == 1 &&
      pieces_.back().buffer->writable()) {
    Piece& last = pieces_.back();
    const size_t end = last.offset + last.length;
    if (last.buffer->capacity() - end >= length) return last;
    // A small piece moves to a buffer twice its size; a large one is not copied for more room.
    if (last.length < LargeBytes) {
      auto larger = std::make_shared<Buffer>(std::max(last.length + length, 2 * last.length));
      std::memcpy(larger->bytes(), last.begin(), last.length);
      last = {std::move(larger), 0, last.length};
      return last;
    }
  }
  pieces_.push_back({std::make_shared<Buffer>(length), 0, 0});
  return pieces_.back();
}

void Data::grew(Piece& piece, size_t length) {
  piece.length += length;
  size_ += length;
  joined_.buffer.reset();
}

}  // namespace platform
