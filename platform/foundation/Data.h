// Bytes: a file's contents, a request's body, a piece of an answer, property-list data.
//
// A Data is a value whose copies share their storage, and no copy ever changes bytes that another
// one holds. Appending bytes copies them; appending another Data takes over its large pieces by
// reference, so a Data may lie in several contiguous pieces (a request's body: its parts around
// the file's bytes), which a writer hands on as they are.
//
// Large bytes are costly to copy here: the first touch of fresh memory costs dearly per page. So
// a large file is mapped rather than read (withMappedFile), and large storage of a Data's own is
// mapped apart from the heap, to go back to the system with the last Data that holds it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace platform {

class Data {
 public:
  // From this size on, storage is mapped, files are mapped, and pieces are appended by reference.
  static constexpr size_t LargeBytes = 128 * 1024;

  Data() = default;
  Data(const void* bytes, size_t length);
  Data(std::initializer_list<std::uint8_t> bytes) : Data(bytes.begin(), bytes.size()) {}
  // The bytes of a contiguous range of bytes: a string's, an array's.
  template <std::contiguous_iterator Iterator>
  requires(sizeof(std::iter_value_t<Iterator>) == 1) Data(Iterator first, Iterator last)
      : Data(std::to_address(first), static_cast<size_t>(last - first)) {}

  // The whole of an open regular file of LargeBytes or more, mapped instead of read: nothing is
  // copied and no fresh memory is touched. The file is leased for as long as it is mapped, through
  // a descriptor of the Data's own: a process that opens it for writing or truncates it waits
  // until a private copy of the bytes has taken the mapping's place, so the bytes never change and
  // never go away under a reader. nullopt when the file cannot be leased (another process has it
  // open for writing, it is not the user's, its file system has no leases) or mapped.
  static std::optional<Data> withMappedFile(int fd);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The bytes in one block (nullptr when empty). A Data in several pieces is joined into a copy
  // the first time, which stays while the Data is unchanged.
  const std::uint8_t* bytes() const;
  const std::uint8_t* begin() const { return bytes(); }
  const std::uint8_t* end() const { return bytes() + size_; }
  // The pieces in order, none of them empty.
  std::vector<std::span<const std::uint8_t>> pieces() const;
  // subdataWithRange: the `length` bytes from `location` on, sharing this Data's storage; throws
  // std::out_of_range past the end.
  Data subdataWithRange(size_t location, size_t length) const;

  void append(const void* bytes, size_t length);
  // Pieces of LargeBytes and more are shared, not copied.
  void append(const Data& other);
  // Appends in place what `fill` writes into room for at least `length` more bytes in one block
  // (it is given the whole room): `fill` gives how many bytes it wrote, or a negative number when
  // it failed and nothing is appended. Gives what `fill` gave.
  ssize_t appendFrom(size_t length, const std::function<ssize_t(std::uint8_t*, size_t)>& fill);

  bool operator==(const Data& other) const;

 private:
  class Buffer;
  struct Piece {
    std::shared_ptr<Buffer> buffer;
    size_t offset = 0, length = 0;
    std::uint8_t* begin() const;
  };
  // The joined copy of a Data in pieces, made on demand under a lock; a copied or assigned Data
  // starts without one, so that copying never races with joining.
  struct Joined {
    Joined() = default;
    Joined(const Joined&) {}
    Joined& operator=(const Joined&) {
      buffer.reset();
      return *this;
    }
    std::shared_ptr<Buffer> buffer;
  };

  // A Data of storage that is not its own to write (a mapped file), which `release` gives back.
  static Data withStorage(std::uint8_t* bytes, size_t length, std::function<void()> release);
  // The last piece, with room for `length` more bytes after it in a buffer no other Data holds.
  Piece& roomAtEnd(size_t length);
  void grew(Piece& piece, size_t length);

  std::vector<Piece> pieces_;
  size_t size_ = 0;
  mutable Joined joined_;
};

}  // namespace platform
