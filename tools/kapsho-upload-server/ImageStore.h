// Where uploaded images live, each named after its contents: a local folder or a bucket of an
// object store. A name, once taken, serves the same bytes for good: a store never replaces an
// image. Whatever the store, nothing an instance of the service keeps is needed by another: names
// come from the bytes, deletion tokens live beside the images.
#pragma once

#include <QCryptographicHash>

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/bsd/FileDescriptor.h"

namespace upload_server {

// An upload on its way into the store: written to a temporary file in the store's spool folder as
// it arrives and hashed as it goes. Destroyed before it is stored, it leaves nothing behind.
class IncomingFile {
 public:
  IncomingFile(platform::FileDescriptor file, std::string path);
  ~IncomingFile();
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // False once a write has failed (a full disk); what follows is then ignored.
  bool append(const char* data, std::size_t size);
  std::size_t size() const { return size_; }
  bool failed() const { return failed_; }
  int descriptor() const { return file_.get(); }
  const std::string& path() const { return path_; }
  // Of the whole file, once it has come.
  QByteArray sha256() const { return sha256_.result(); }
  QByteArray md5() const { return md5_.result(); }

 private:
  platform::FileDescriptor file_;
  std::string path_;
  QCryptographicHash sha256_{QCryptographicHash::Sha256};
  QCryptographicHash md5_{QCryptographicHash::Md5};
  std::size_t size_ = 0;
  bool failed_ = false;
};

struct StoreOutcome {
  enum class Kind { Stored, NameTaken, Unavailable, Failed };
  Kind kind;
  // The name stored under or refused; for Unavailable and Failed, the reason.
  std::string text;
  // The token that deletes the image, for the upload that stored it first; "" for the same bytes
  // uploaded again, whose first uploader alone may delete them.
  std::string deletionToken;
};

// A stored image's bytes as they are read, for an answer that streams them.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Up to `size` further bytes; 0 at the end, -1 when the store failed midway.
  virtual ssize_t read(char* data, std::size_t size) = 0;
};

// A stored image for an answer: its size, its first bytes (which tell its type), and either an
// open file or a source of its bytes.
struct ServedImage {
  enum class Kind { Found, Missing, Unavailable };
  Kind kind = Kind::Missing;
  std::uint64_t size = 0;
  std::string leading;
  platform::FileDescriptor file;
  std::unique_ptr<ImageSource> source;
  // For Unavailable, why.
  std::string reason;
};

enum class Removal { Removed, NotFound, Unavailable };

class ImageStore {
 public:
  // 128 bits of SHA-256: no one can make two files that share a name.
  static constexpr std::size_t kNameDigits = 32;

  virtual ~ImageStore() = default;

  // A temporary file for an upload in the spool folder, or nullptr and the reason.
  std::unique_ptr<IncomingFile> receive(std::string* error) const;

  // Publishes the file under the first digits of its SHA-256 and the extension (".png", or ""),
  // which the caller takes from the bytes. The same bytes under a taken name reuse it; other
  // bytes under it are refused.
  virtual StoreOutcome store(IncomingFile& file, std::string_view extension) const = 0;

  // The image of a well-formed name (also one given out before: 64-bit, or with the extension
  // the client's file name had); Missing for a malformed or unknown name.
  virtual ServedImage open(const std::string& name) const = 0;

  // Removes the image of that name when the token is the one its upload was given; NotFound,
  // after the same work, for a wrong token or an unknown name.
  virtual Removal remove(const std::string& name, const std::string& token) const = 0;

 protected:
  // Creates the spool folder when missing and removes the temporaries of a run that crashed;
  // throws std::filesystem::filesystem_error when it cannot. Tests lower nameDigits to meet a
  // taken name.
  ImageStore(std::filesystem::path spool, std::size_t nameDigits);

  bool isWellFormed(std::string_view name) const;
  // A new deletion token, and the digest of one that is kept in its stead.
  static std::string newDeletionToken();
  static std::string digestOfToken(const std::string& token);
  // Whether a token's digest is the one kept, in the same time however much of it matches.
  static bool sameDigest(const std::string& kept, const std::string& given);

  const std::filesystem::path spool_;
  const std::size_t nameDigits_;
};

}  // namespace upload_server
