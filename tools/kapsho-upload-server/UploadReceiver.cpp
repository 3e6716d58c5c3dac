#include "tools/kapsho-upload-server/UploadReceiver.h"

#include <algorithm>

#include "tools/kapsho-upload-server/ImageType.h"

namespace upload_server {

namespace {

// "Upload" and a little more, so that a longer value still differs from it.
constexpr std::size_t kMaxFieldValue = 16;

}  // namespace

UploadReceiver::UploadReceiver(const std::string& boundary, const ImageStore& store,
                               Publish publish)
    : reader_(boundary, *this), store_(store), publish_(std::move(publish)) {}

void UploadReceiver::consume(const char* data, std::size_t size) {
  if (!fault_ && !reader_.read(data, size) && !fault_)
    fault_ = Reply::plain(400, "malformed multipart body");
}

Reply UploadReceiver::finish() {
  if (fault_) return std::move(*fault_);
  if (!reader_.complete()) return Reply::plain(400, "malformed multipart body");
  if (field_ != "Upload") return Reply::plain(400, "the field app_upload must be \"Upload\"");
  if (!file_) return Reply::plain(400, "no file part userfile");
  if (file_->size() == 0) return Reply::plain(400, "the file userfile is empty");
  const auto type = imageTypeOf(leading_);
  if (!type) return Reply::plain(415, "only PNG, JPEG, GIF, TIFF, BMP and WebP images are taken");
  return publish_(store_.store(*file_, type->extension), file_->size());
}

Reply UploadReceiver::failure(const std::string& reason) {
  Reply reply = Reply::plain(500, "cannot store the upload");
  reply.note = reason;
  return reply;
}

bool UploadReceiver::partBegins(const std::string& name) {
  into_ = Into::Nothing;
  if (name == "app_upload" && !fieldSeen_) {
    fieldSeen_ = true;
    into_ = Into::Field;
  } else if (name == "userfile" && !file_) {
    std::string error;
    file_ = store_.receive(&error);
    if (!file_) fault_ = failure(error);
    into_ = Into::File;
  }
  return !fault_;
}

bool UploadReceiver::partBytes(const char* data, std::size_t size) {
  if (into_ == Into::Field && field_.size() < kMaxFieldValue)
    field_.append(data, std::min(size, kMaxFieldValue - field_.size()));
  if (into_ == Into::File && file_) keep(data, size);
  return !fault_;
}

void UploadReceiver::keep(const char* data, std::size_t size) {
  if (leading_.size() < kImageSignatureBytes)
    leading_.append(data, std::min(size, kImageSignatureBytes - leading_.size()));
  if (!file_->append(data, size))
    fault_ = failure("cannot write the upload: the disk is full or failing");
}

}  // namespace upload_server
