// The body of an upload, read as it arrives: a multipart form with the field app_upload and the
// image userfile, which goes into the store's spool as it comes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ImageStore.h"
#include "tools/kapsho-upload-server/Multipart.h"

namespace upload_server {

// The answer to a stored upload: given the store's outcome and the image's size in bytes.
using Publish = std::function<Reply(const StoreOutcome& outcome, std::size_t size)>;

// The field app_upload is read into memory, the first part userfile into a temporary file; other
// parts, nameless ones among them, are passed over. The first fault decides the answer; the rest
// of the body, bounded by its declared length, is then only counted off.
class UploadReceiver : public BodyReader, private PartSink {
 public:
  UploadReceiver(const std::string& boundary, const ImageStore& store, Publish publish);

  void consume(const char* data, std::size_t size) override;
  Reply finish() override;

  // A 500 whose log line gives the reason, which the client is not told.
  static Reply failure(const std::string& reason);

 private:
  enum class Into { Nothing, Field, File };

  bool partBegins(const std::string& name) override;
  bool partBytes(const char* data, std::size_t size) override;
  // Its first bytes tell whether the file is an image, once it has come whole.
  void keep(const char* data, std::size_t size);

  MultipartReader reader_;
  const ImageStore& store_;
  Publish publish_;
  Into into_ = Into::Nothing;
  bool fieldSeen_ = false;
  std::string field_;
  std::unique_ptr<IncomingFile> file_;
  std::string leading_;
  std::optional<Reply> fault_;
};

}  // namespace upload_server
