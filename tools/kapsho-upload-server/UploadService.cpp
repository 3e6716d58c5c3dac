#include "tools/kapsho-upload-server/UploadService.h"

#include <microhttpd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "tools/kapsho-upload-server/ImageType.h"
#include "tools/kapsho-upload-server/Multipart.h"

namespace upload_server {

namespace {

const std::string kUploadPath = "/app_upload.php";
const std::string kImagePrefix = "/i/";
// "Upload" and a little more, so that a longer value still differs from it.
constexpr std::size_t kMaxFieldValue = 16;
const char* const kChallenge = "Basic realm=\"kapsho-upload-server\", charset=\"UTF-8\"";

// The name and password of a request's Basic authorization (the scheme in any case, as RFC 7235
// has it), or nullopt without both or with a NUL in either, which no listed user has.
std::optional<std::pair<std::string, std::string>> basicCredentials(const Request& request) {
  const auto field = request.header(MHD_HTTP_HEADER_AUTHORIZATION);
  constexpr std::string_view kScheme = "basic ";
  if (!field || field->size() < kScheme.size() ||
      strncasecmp(field->c_str(), kScheme.data(), kScheme.size()) != 0)
    return std::nullopt;
  const QByteArray encoded = QByteArray::fromStdString(*field).mid(kScheme.size()).trimmed();
  const auto decoded =
      QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
  const qsizetype colon = decoded.decoded.indexOf(':');
  if (!decoded || colon < 0 || decoded.decoded.contains('\0')) return std::nullopt;
  return std::pair(decoded.decoded.left(colon).toStdString(),
                   decoded.decoded.mid(colon + 1).toStdString());
}

// Reads the multipart form as it arrives: the field app_upload into memory, the first part
// userfile into the store's temporary file; other parts, nameless ones among them, are passed
// over. The first fault decides the answer; the rest of the body, bounded by its declared
// length, is then only counted off.
class UploadReceiver : public BodyReader, private PartSink {
 public:
  UploadReceiver(const std::string& boundary, const ImageStore& store, const std::string& baseUrl,
                 std::string uploader)
      : reader_(boundary, *this),
        store_(store),
        baseUrl_(baseUrl),
        uploader_(std::move(uploader)) {}

  void consume(const char* data, std::size_t size) override {
    if (!fault_ && !reader_.read(data, size) && !fault_)
      fault_ = Reply::plain(400, "malformed multipart body");
  }

  Reply finish() override {
    if (fault_) return std::move(*fault_);
    if (!reader_.complete()) return Reply::plain(400, "malformed multipart body");
    if (field_ != "Upload") return Reply::plain(400, "the field app_upload must be \"Upload\"");
    if (!file_) return Reply::plain(400, "no file part userfile");
    if (file_->size() == 0) return Reply::plain(400, "the file userfile is empty");
    const auto type = imageTypeOf(leading_);
    if (!type) return Reply::plain(415, "only PNG, JPEG, GIF, TIFF, BMP and WebP images are taken");
    return stored(store_.store(*file_, type->extension));
  }

 private:
  enum class Into { Nothing, Field, File };

  bool partBegins(const std::string& name) override {
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

  bool partBytes(const char* data, std::size_t size) override {
    if (into_ == Into::Field && field_.size() < kMaxFieldValue)
      field_.append(data, std::min(size, kMaxFieldValue - field_.size()));
    if (into_ == Into::File && file_) keep(data, size);
    return !fault_;
  }
  // Its first bytes tell whether the file is an image, once it has come whole.
  void keep(const char* data, std::size_t size) {
    if (leading_.size() < kImageSignatureBytes)
      leading_.append(data, std::min(size, kImageSignatureBytes - leading_.size()));
    if (!file_->append(data, size))
      fault_ = failure("cannot write the upload: the disk is full or failing");
  }

  static Reply failure(const std::string& reason) {
    Reply reply = Reply::plain(500, "cannot store the upload");
    reply.note = reason;
    return reply;
  }

  Reply stored(const StoreOutcome& outcome) const {
    switch (outcome.kind) {
      case StoreOutcome::Kind::Stored: {
        const std::string location = baseUrl_ + kImagePrefix + outcome.text;
        Reply reply = Reply::plain(302, "Stored at " + location);
        reply.headers.emplace_back(MHD_HTTP_HEADER_LOCATION, location);
        reply.note = "stored " + outcome.text + " (" + std::to_string(file_->size()) + " bytes)" +
                     (uploader_.empty() ? "" : " for " + uploader_);
        return reply;
      }
      case StoreOutcome::Kind::NameTaken: {
        Reply reply = Reply::plain(409, "the name " + outcome.text + " holds other bytes");
        reply.note = "refused: " + outcome.text + " already holds other bytes";
        return reply;
      }
      case StoreOutcome::Kind::Failed:
        break;
    }
    return failure(outcome.text);
  }

  MultipartReader reader_;
  const ImageStore& store_;
  const std::string& baseUrl_;
  const std::string uploader_;
  Into into_ = Into::Nothing;
  bool fieldSeen_ = false;
  std::string field_;
  std::unique_ptr<IncomingFile> file_;
  std::string leading_;
  std::optional<Reply> fault_;
};

}  // namespace

UploadService::UploadService(const ImageStore& store, std::string baseUrl, std::size_t maxBytes,
                             const Users* users, RateLimit* rate)
    : store_(store),
      baseUrl_(std::move(baseUrl)),
      maxBytes_(maxBytes),
      users_(users),
      rate_(rate) {}

RequestHandler::Start UploadService::begin(const Request& request) {
  const std::string& path = request.path();
  const bool isUpload = path == kUploadPath;
  const bool isImage =
      path.starts_with(kImagePrefix) && path.find('/', kImagePrefix.size()) == std::string::npos;
  if (isUpload && request.method() == MHD_HTTP_METHOD_POST) return upload(request);
  if (isImage &&
      (request.method() == MHD_HTTP_METHOD_GET || request.method() == MHD_HTTP_METHOD_HEAD))
    return image(path.substr(kImagePrefix.size()));
  if (!isUpload && !isImage) return Reply::plain(404, "not found");
  const std::string allowed = isUpload ? "POST" : "GET, HEAD";
  Reply refusal = Reply::plain(405, "method not allowed; use " + allowed);
  refusal.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, allowed);
  return refusal;
}

RequestHandler::Start UploadService::upload(const Request& request) const {
  auto admitted = admit(request);
  if (auto* refusal = std::get_if<Reply>(&admitted)) return std::move(*refusal);
  if (request.header(MHD_HTTP_HEADER_CONTENT_ENCODING))
    return Reply::plain(415, "request bodies with a Content-Encoding are not taken");
  // A declared length is checked before any of the body is asked for.
  const auto length = request.contentLength();
  if (!length) return Reply::plain(411, "Content-Length required");
  if (*length > maxBytes_)
    return Reply::plain(413, "request body larger than " + std::to_string(maxBytes_) + " bytes");
  const FormType form = formTypeOf(request.header(MHD_HTTP_HEADER_CONTENT_TYPE).value_or(""));
  if (!form.isFormData) return Reply::plain(400, "expected a multipart/form-data body");
  if (!form.boundary) return Reply::plain(400, "multipart/form-data without a boundary");
  return std::make_unique<UploadReceiver>(*form.boundary, store_, baseUrl_,
                                          std::move(std::get<std::string>(admitted)));
}

// Every upload counts against its client's rate, whatever becomes of it, so that guessing tokens
// is slowed down too.
std::variant<Reply, std::string> UploadService::admit(const Request& request) const {
  if (const auto wait =
          rate_ ? rate_->admit(request.client(), RateLimit::Clock::now()) : std::nullopt) {
    Reply refusal =
        Reply::plain(429, "too many uploads from " + request.client() + "; the next is taken in " +
                              std::to_string(wait->count()) + " s");
    refusal.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(wait->count()));
    return refusal;
  }
  if (!users_) return std::string();
  const auto credentials = basicCredentials(request);
  if (credentials && users_->authorizes(credentials->first, credentials->second))
    return credentials->first;
  Reply refusal = Reply::plain(401, "uploads need the name and token of a listed user");
  refusal.headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, kChallenge);
  return refusal;
}

Reply UploadService::image(const std::string& name) const {
  Descriptor file = store_.open(name);
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return Reply::plain(404, "no such image");
  char leading[kImageSignatureBytes];
  const ssize_t got = pread(file.get(), leading, sizeof leading, 0);
  const auto type = imageTypeOf(std::string_view(leading, got > 0 ? got : 0));
  Reply reply;
  reply.file = std::move(file);
  reply.fileSize = static_cast<std::uint64_t>(info.st_size);
  reply.headers = {
      {MHD_HTTP_HEADER_CONTENT_TYPE,
       std::string(type ? type->mediaType : std::string_view("application/octet-stream"))},
      // A file stored before only images were taken may be HTML or SVG: it is shown, but never
      // runs script with this server's origin.
      {MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, "default-src 'none'; sandbox"},
      {MHD_HTTP_HEADER_X_CONTENT_TYPE_OPTIONS, "nosniff"},
      // Ranges are not served: every answer is the whole file.
      {MHD_HTTP_HEADER_ACCEPT_RANGES, "none"},
  };
  return reply;
}

}  // namespace upload_server
