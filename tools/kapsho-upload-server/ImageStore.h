// The folder of uploaded images, each named after its contents. A name, once taken, serves the
// same bytes for good: a store never replaces a file.
#pragma once

#include <QCryptographicHash>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace upload_server {

// An open descriptor that closes itself; release() hands it on.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  int get() const { return fd_; }
  int release();
  void reset();

 private:
  int fd_;
};

// An upload on its way into the store: written to a temporary file in the store's folder as it
// arrives and hashed as it goes. Destroyed before it is stored, it leaves nothing behind.
class IncomingFile {
 public:
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // False once a write has failed (a full disk); what follows is then ignored.
  bool append(const char* data, std::size_t size);
  std::size_t size() const { return size_; }

 private:
  friend class ImageStore;
  IncomingFile(Descriptor file, std::string path);

  Descriptor file_;
  std::string path_;
  QCryptographicHash hash_{QCryptographicHash::Sha256};
  std::size_t size_ = 0;
  bool failed_ = false;
};

struct StoreOutcome {
  enum class Kind { Stored, NameTaken, Failed };
  Kind kind;
  // The name stored under or refused; for Failed, the reason.
  std::string text;
};

class ImageStore {
 public:
  // 128 bits of SHA-256: no one can make two files that share a name.
  static constexpr std::size_t kNameDigits = 32;

  // Creates the folder when missing and removes the temporary files of a run that crashed;
  // throws std::filesystem::filesystem_error when it cannot. Tests lower nameDigits to meet a
  // taken name.
  explicit ImageStore(std::filesystem::path directory, std::size_t nameDigits = kNameDigits);

  // A temporary file for an upload, or nullptr and the reason.
  std::unique_ptr<IncomingFile> receive(std::string* error) const;

  // Publishes the file under the first digits of its SHA-256 and the extension (".png", or ""),
  // which the caller takes from the bytes. The same bytes under a taken name reuse it; other
  // bytes under it are refused.
  StoreOutcome store(IncomingFile& file, std::string_view extension) const;

  // The stored file of a well-formed name (also one given out before: 64-bit, or with the
  // extension the client's file name had),
  // opened for reading without following a symbolic link; an invalid descriptor for a malformed
  // or unknown name or anything but a regular file.
  Descriptor open(const std::string& name) const;

 private:
  bool isWellFormed(std::string_view name) const;
  void removeTemporaries() const;

  std::filesystem::path directory_;
  std::size_t nameDigits_;
};

}  // namespace upload_server
