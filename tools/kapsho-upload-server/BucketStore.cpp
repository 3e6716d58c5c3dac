#include "tools/kapsho-upload-server/BucketStore.h"

#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/foundation/AWSCredentials.h"
#include "platform/foundation/CurlSupport.h"
#include "platform/foundation/FileIO.h"
#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/ImageType.h"

namespace upload_server {

namespace {

constexpr long kConnectSeconds = 5;
// A store that sends nothing for this long is taken for gone.
constexpr long kStallSeconds = 30;
constexpr std::size_t kMaxErrorBody = 16 * 1024;
// How much of an image is read ahead of a slow client before the store is paused.
constexpr std::size_t kReadAhead = 256 * 1024;
const std::string kDeletionField = "x-amz-meta-deletion-sha256";
// The SHA-256 of no bytes, which requests without a body are signed with.
const std::string kEmptyPayload =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Multi = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// The Code of an S3 error document, or its status when it has none.
std::string errorCode(const std::string& body, long status) {
  const auto start = body.find("<Code>");
  const auto end = body.find("</Code>");
  if (start == std::string::npos || end == std::string::npos || end < start)
    return "HTTP " + std::to_string(status);
  return body.substr(start + 6, end - start - 6) + " (HTTP " + std::to_string(status) + ")";
}

// One signed request to the store and what came back: its status, header fields (by lower-case
// name) and, for an answer that is no object, a bounded body.
class StoreRequest {
 public:
  StoreRequest(const BucketConfig& config, const std::string& url, const char* method,
               const std::string& payloadSha256 = kEmptyPayload)
      : easy_(curl_easy_init(), curl_easy_cleanup) {
    if (!easy_) throw std::bad_alloc();
    curl_easy_setopt(easy_.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_.get(), CURLOPT_CUSTOMREQUEST, method);
    if (std::string_view(method) == "HEAD") curl_easy_setopt(easy_.get(), CURLOPT_NOBODY, 1L);
    const std::string signing = "aws:amz:" + config.region + ":s3";
    curl_easy_setopt(easy_.get(), CURLOPT_AWS_SIGV4, signing.c_str());
    curl_easy_setopt(easy_.get(), CURLOPT_USERNAME, config.accessKey.c_str());
    curl_easy_setopt(easy_.get(), CURLOPT_PASSWORD, config.secretKey.c_str());
    curl_easy_setopt(easy_.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(easy_.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(easy_.get(), CURLOPT_HEADERFUNCTION, &StoreRequest::onHeader);
    curl_easy_setopt(easy_.get(), CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_.get(), CURLOPT_WRITEFUNCTION, &StoreRequest::onBody);
    curl_easy_setopt(easy_.get(), CURLOPT_WRITEDATA, this);
    // The store would check the payload against this hash; libcurl signs it as given.
    header("x-amz-content-sha256: " + payloadSha256);
    if (!config.sessionToken.empty()) header("x-amz-security-token: " + config.sessionToken);
    // A body goes out at once, no round trip spent asking first. (An empty "Expect:" field would
    // do it too, but libcurl signs that field and then leaves it out.)
    curl_easy_setopt(easy_.get(), CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
  }

  CURL* easy() const { return easy_.get(); }
  void header(const std::string& line) {
    headers_.reset(curl_slist_append(headers_.release(), line.c_str()));
  }

  // Sends the request and reads the whole answer; false when the store could not be reached or
  // stopped answering, with why in error().
  bool perform() {
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get());
    const CURLcode result = curl_easy_perform(easy_.get());
    if (result != CURLE_OK) {
      error_ = std::string("the store cannot be reached: ") + curl_easy_strerror(result);
      return false;
    }
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status_);
    if (status_ >= 500) {
      error_ = "the store failed: " + errorCode(body_, status_);
      return false;
    }
    return true;
  }

  long status() const { return status_; }
  std::string field(const std::string& name) const {
    const auto found = fields_.find(name);
    return found == fields_.end() ? std::string() : found->second;
  }
  std::string errorText() const { return errorCode(body_, status_); }
  const std::string& error() const { return error_; }

  // Attached to a multi handle instead of performed at once: answer bodies go to the sink then.
  void attach(curl_write_callback sink, void* data) {
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(easy_.get(), CURLOPT_WRITEFUNCTION, sink);
    curl_easy_setopt(easy_.get(), CURLOPT_WRITEDATA, data);
  }
  bool headersDone() const { return headersDone_; }

 private:
  static std::size_t onHeader(char* data, std::size_t, std::size_t size, void* self) {
    auto& request = *static_cast<StoreRequest*>(self);
    std::string_view line(data, size);
    if (line.starts_with("HTTP/")) {
      // A 100 Continue has its own header block: only the last block counts.
      request.fields_.clear();
      request.headersDone_ = false;
      curl_easy_getinfo(request.easy_.get(), CURLINFO_RESPONSE_CODE, &request.status_);
    } else if (line == "\r\n" || line == "\n") {
      request.headersDone_ = request.status_ >= 200;
    } else if (auto field = platform::curl::headerField(line)) {
      request.fields_.insert_or_assign(std::move(field->first), std::move(field->second));
    }
    return size;
  }

  static std::size_t onBody(char* data, std::size_t, std::size_t size, void* self) {
    auto& body = static_cast<StoreRequest*>(self)->body_;
    body.append(data, std::min(size, kMaxErrorBody - std::min(kMaxErrorBody, body.size())));
    return size;
  }

  Easy easy_;
  Headers headers_{nullptr, curl_slist_free_all};
  long status_ = 0;
  bool headersDone_ = false;
  std::map<std::string, std::string> fields_;
  std::string body_;
  std::string error_;
};

// An object's bytes as the store sends them, read ahead up to a bound and paused while the client
// is slower than the store: no whole image is ever held.
class BucketSource : public ImageSource {
 public:
  BucketSource(const BucketConfig& config, const std::string& url)
      : request_(config, url, "GET"), multi_(curl_multi_init(), curl_multi_cleanup) {
    if (!multi_) throw std::bad_alloc();
    request_.attach(&BucketSource::onBytes, this);
    curl_multi_add_handle(multi_.get(), request_.easy());
  }
  ~BucketSource() override { curl_multi_remove_handle(multi_.get(), request_.easy()); }

  // Waits for the answer's head and, for an object, its first bytes.
  void begin(std::size_t leading) {
    drive([&] {
      return request_.headersDone() && (request_.status() != 200 || available() >= leading);
    });
  }
  const StoreRequest& request() const { return request_; }
  bool failed() const { return done_ && result_ != CURLE_OK; }
  std::string failure() const { return curl_easy_strerror(result_); }
  std::string peek(std::size_t size) const {
    return buffer_.substr(taken_, std::min(size, available()));
  }

  ssize_t read(char* data, std::size_t size) override {
    if (available() == 0) {
      buffer_.clear();
      taken_ = 0;
      if (paused_) {
        paused_ = false;
        curl_easy_pause(request_.easy(), CURLPAUSE_CONT);
      }
      drive([&] { return available() > 0; });
    }
    if (available() == 0) return failed() ? -1 : 0;
    const std::size_t count = std::min(size, available());
    std::copy_n(buffer_.data() + taken_, count, data);
    taken_ += count;
    return static_cast<ssize_t>(count);
  }

 private:
  std::size_t available() const { return buffer_.size() - taken_; }

  static std::size_t onBytes(char* data, std::size_t, std::size_t size, void* self) {
    auto& source = *static_cast<BucketSource*>(self);
    if (source.request_.status() != 200) return size;
    if (source.available() >= kReadAhead) {
      source.paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    source.buffer_.append(data, size);
    return size;
  }

  template <typename Ready>
  void drive(Ready ready) {
    while (!ready() && !done_) {
      int running = 0;
      if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) {
        done_ = true;
        result_ = CURLE_RECV_ERROR;
        return;
      }
      int left = 0;
      while (const CURLMsg* message = curl_multi_info_read(multi_.get(), &left))
        if (message->msg == CURLMSG_DONE) {
          done_ = true;
          result_ = message->data.result;
        }
      if (!ready() && !done_) curl_multi_poll(multi_.get(), nullptr, 0, 1000, nullptr);
    }
  }

  StoreRequest request_;
  Multi multi_;
  std::string buffer_;
  std::size_t taken_ = 0;
  bool paused_ = false;
  bool done_ = false;
  CURLcode result_ = CURLE_OK;
};

}  // namespace

std::optional<std::string> BucketConfig::loadKeys(const std::string& credentialsFile) {
  std::optional<platform::AWSCredentials> keys;
  if (credentialsFile.empty()) {
    keys = platform::AWSCredentials::fromEnvironment();
    if (!keys)
      return "no keys for the store: give --s3-credentials FILE, or set AWS_ACCESS_KEY_ID and "
             "AWS_SECRET_ACCESS_KEY";
  } else {
    std::string error;
    const auto text = platform::contentsOfPrivateFile(credentialsFile, &error);
    if (!text) return credentialsFile + ": " + error;
    keys = platform::AWSCredentials::fromCredentialsText(*text, "default");
    if (!keys)
      return credentialsFile + ": no aws_access_key_id and aws_secret_access_key in [default]";
  }
  accessKey = keys->accessKeyID;
  secretKey = keys->secretAccessKey;
  sessionToken = keys->sessionToken;
  return std::nullopt;
}

BucketStore::BucketStore(BucketConfig config, std::filesystem::path spool, std::size_t nameDigits)
    : ImageStore(std::move(spool), nameDigits), config_(std::move(config)) {}

std::optional<std::string> BucketStore::check(bool* reachable) const {
  StoreRequest head(config_, config_.endpoint + "/" + config_.bucket, "HEAD");
  *reachable = head.perform();
  if (!*reachable) return head.error();
  if (head.status() == 404) return "the store has no bucket " + config_.bucket;
  if (head.status() == 403) return "the store refused the keys for bucket " + config_.bucket;
  if (head.status() != 200) return "the store answered " + head.errorText();
  return std::nullopt;
}

StoreOutcome BucketStore::store(IncomingFile& file, std::string_view extension) const {
  if (file.failed()) return {StoreOutcome::Kind::Failed, "cannot write " + file.path(), ""};
  const std::string name =
      file.sha256().toHex().left(nameDigits_).toStdString() + std::string(extension);
  const std::string token = newDeletionToken();
  StoreRequest put(config_, objectUrl(name), "PUT", file.sha256().toHex().toStdString());
  const auto type = imageTypeOfExtension(extension);
  put.header("Content-Type: " + std::string(type.value_or("application/octet-stream")));
  put.header("Content-MD5: " + file.md5().toBase64().toStdString());
  put.header(kDeletionField + ": " + digestOfToken(token));
  // Created only while the name is free: a name is never given other bytes.
  put.header("If-None-Match: *");
  struct Upload {
    int fd;
    off_t offset = 0;
  } upload{file.descriptor()};
  curl_easy_setopt(put.easy(), CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(put.easy(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
  curl_easy_setopt(put.easy(), CURLOPT_READDATA, &upload);
  curl_easy_setopt(
      put.easy(), CURLOPT_READFUNCTION,
      +[](char* data, std::size_t, std::size_t size, void* from) -> std::size_t {
        auto& upload = *static_cast<Upload*>(from);
        const ssize_t got = pread(upload.fd, data, size, upload.offset);
        if (got < 0) return CURL_READFUNC_ABORT;
        upload.offset += got;
        return static_cast<std::size_t>(got);
      });
  if (!put.perform()) return {StoreOutcome::Kind::Unavailable, put.error(), ""};
  if (put.status() == 200) return {StoreOutcome::Kind::Stored, name, token};
  if (put.status() != 412)
    return {StoreOutcome::Kind::Failed, "the store refused " + name + ": " + put.errorText(), ""};
  // Taken: by the same bytes when the object's MD5 is theirs (a single PUT's ETag is its MD5).
  StoreRequest head(config_, objectUrl(name), "HEAD");
  if (!head.perform()) return {StoreOutcome::Kind::Unavailable, head.error(), ""};
  const bool same = head.field("etag") == "\"" + file.md5().toHex().toStdString() + "\"";
  return {same ? StoreOutcome::Kind::Stored : StoreOutcome::Kind::NameTaken, name, ""};
}

ServedImage BucketStore::open(const std::string& name) const {
  ServedImage image;
  if (!isWellFormed(name)) return image;
  auto source = std::make_unique<BucketSource>(config_, objectUrl(name));
  source->begin(kImageSignatureBytes);
  const long status = source->request().status();
  if (source->failed() || status >= 500 || (status != 200 && status != 404)) {
    image.kind = ServedImage::Kind::Unavailable;
    image.reason = source->failed() ? "the store cannot be reached: " + source->failure()
                                    : "the store answered " + source->request().errorText();
    return image;
  }
  if (status == 404) return image;
  image.kind = ServedImage::Kind::Found;
  curl_off_t size = 0;
  curl_easy_getinfo(source->request().easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
  image.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  image.leading = source->peek(kImageSignatureBytes);
  image.source = std::move(source);
  return image;
}

Removal BucketStore::remove(const std::string& name, const std::string& token) const {
  std::string kept;
  if (isWellFormed(name)) {
    StoreRequest head(config_, objectUrl(name), "HEAD");
    if (!head.perform()) return Removal::Unavailable;
    if (head.status() == 200) kept = head.field(kDeletionField);
  }
  if (!sameDigest(kept, digestOfToken(token))) return Removal::NotFound;
  StoreRequest erase(config_, objectUrl(name), "DELETE");
  if (!erase.perform()) return Removal::Unavailable;
  return erase.status() / 100 == 2 || erase.status() == 404 ? Removal::Removed : Removal::NotFound;
}

std::string BucketStore::objectUrl(const std::string& name) const {
  return config_.endpoint + "/" + config_.bucket + "/" + config_.prefix + name;
}

}  // namespace upload_server
