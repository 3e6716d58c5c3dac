// The S3 road: one PUT for a file of up to 64 MiB, else a multipart upload that is completed
// only once every part is there (and aborted otherwise). Every request carries its body's
// SHA-256 (x-amz-content-sha256, which the signature covers) and MD5 (Content-MD5), and the
// store refuses bytes that do not match them. Addresses are path-style (endpoint/bucket/key), as
// every S3-compatible store takes them.
#include <openssl/evp.h>

#include <cctype>

#include "common/DestinationRoads.h"
#include "platform/foundation/AWSCredentials.h"
#include "platform/foundation/FileIO.h"

using namespace platform;

namespace {

constexpr size_t WholeBytesMost = 64 << 20;
constexpr size_t PartBytes = 16 << 20;
// How many names are tried while the file's own is taken: Picture-3.png, Picture-3-2.png ...
constexpr int NameVariants = 100;
constexpr int Taken = 412;  // the store's answer to If-None-Match when the name is taken

using Failure = Destination::Failure;

struct Digests {
  std::string sha256Hex, md5Base64;
};

Digests digestsOf(const Data& bytes) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha256(EVP_MD_CTX_new(),
                                                                       EVP_MD_CTX_free),
      md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(sha256.get(), EVP_sha256(), nullptr);
  EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr);
  for (const auto& piece : bytes.pieces()) {
    EVP_DigestUpdate(sha256.get(), piece.data(), piece.size());
    EVP_DigestUpdate(md5.get(), piece.data(), piece.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(sha256.get(), digest, &length);
  Digests digests;
  static constexpr char Hex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    digests.sha256Hex += Hex[digest[i] >> 4];
    digests.sha256Hex += Hex[digest[i] & 15];
  }
  EVP_DigestFinal_ex(md5.get(), digest, &length);
  digests.md5Base64.resize(4 * ((length + 2) / 3) + 1);
  digests.md5Base64.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(digests.md5Base64.data()), digest, length)));
  return digests;
}

// The type the object is served as, told by its name's extension.
std::string contentTypeOf(const std::string& name) {
  static const std::pair<const char*, const char*> Types[] = {
      {".png", "image/png"}, {".jpg", "image/jpeg"},  {".jpeg", "image/jpeg"},
      {".gif", "image/gif"}, {".tif", "image/tiff"},  {".tiff", "image/tiff"},
      {".bmp", "image/bmp"}, {".webp", "image/webp"}, {".pdf", "application/pdf"},
  };
  for (const auto& [extension, type] : Types)
    if (name.ends_with(extension)) return type;
  return "application/octet-stream";
}

std::string percentEncoded(const std::string& text, bool keepSlashes) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
        (keepSlashes && c == '/'))
      encoded += static_cast<char>(c);
    else
      encoded += {'%', Hex[c >> 4], Hex[c & 15]};
  }
  return encoded;
}

// The text between <Tag> and </Tag>, or "".
std::string element(const std::string& xml, const std::string& tag) {
  const size_t start = xml.find("<" + tag + ">"), end = xml.find("</" + tag + ">");
  if (start == std::string::npos || end == std::string::npos || end < start) return "";
  return xml.substr(start + tag.size() + 2, end - start - tag.size() - 2);
}

// The store's own words: "InvalidAccessKeyId: <message> (HTTP 403)", or the status alone.
std::string storeError(const URLTransfer::Answer& answer) {
  const std::string code = element(answer.body, "Code"), message = element(answer.body, "Message");
  const std::string status = "HTTP " + std::to_string(answer.statusCode);
  if (code.empty()) return status;
  return code + (message.empty() ? "" : ": " + message) + " (" + status + ")";
}

std::variant<AWSCredentials, Failure> keysFor(const Destination& destination) {
  std::string error;
  if (const std::string& file = destination.settings().keysFile; !file.empty()) {
    const auto text = contentsOfPrivateFile(file, &error);
    if (!text) return Failure{file + ": " + error};
    if (auto keys = AWSCredentials::fromCredentialsText(*text, "default")) return *keys;
    return Failure{file + ": no aws_access_key_id and aws_secret_access_key in [default]"};
  }
  if (auto keys = AWSCredentials::fromEnvironment()) return *keys;
  const std::string shared = AWSCredentials::sharedCredentialsFile();
  if (const auto text = contentsOfFile(shared))
    if (auto keys = AWSCredentials::fromCredentialsText(*text, AWSCredentials::profileName()))
      return *keys;
  return Failure{
      "no keys for the store: name a keys file, set AWS_ACCESS_KEY_ID and "
      "AWS_SECRET_ACCESS_KEY, or give " +
      shared + " a [" + AWSCredentials::profileName() + "] profile"};
}

// The exchanges of one upload with the store.
class BucketUpload {
 public:
  BucketUpload(const Destination& destination, const AWSCredentials& keys, URLTransfer& transfer)
      : destination_(destination),
        signature_{destination.settings().region, keys.accessKeyID, keys.secretAccessKey,
                   keys.sessionToken},
        transfer_(transfer) {}

  // Whether the store says it holds an object of that name.
  bool holds(const std::string& name) {
    const auto answer = send(request("HEAD", name, ""), Data());
    const auto* found = std::get_if<URLTransfer::Answer>(&answer);
    return found && found->statusCode == 200;
  }

  // Stored (monostate); Taken, when the name was taken meanwhile; or why not.
  std::variant<std::monostate, int, Failure> putWhole(const std::string& name, const Data& bytes) {
    auto put = request("PUT", name, "");
    describeObject(put, name);
    // Created only while the name is free, when the name is the file's own.
    if (destination_.namesItsOwn()) put.setValue("*", "If-None-Match");
    const auto answer = send(std::move(put), bytes);
    if (const auto* failed = std::get_if<Failure>(&answer)) return *failed;
    const auto& got = std::get<URLTransfer::Answer>(answer);
    if (got.statusCode / 100 == 2) return std::monostate();
    if (got.statusCode == Taken && destination_.namesItsOwn()) return Taken;
    return refused(name, got);
  }

  std::optional<Failure> putInParts(const std::string& name, const Data& bytes) {
    auto start = request("POST", name, "uploads=");
    describeObject(start, name);
    const auto begun = send(std::move(start), Data());
    if (const auto* failed = std::get_if<Failure>(&begun)) return *failed;
    const auto& answer = std::get<URLTransfer::Answer>(begun);
    const std::string id = element(answer.body, "UploadId");
    if (answer.statusCode != 200 || id.empty()) return refused(name, answer);
    auto failure = putParts(name, id, bytes);
    // Parts of an upload that is not completed are not left with the store.
    if (failure) send(request("DELETE", name, "uploadId=" + percentEncoded(id, false)), Data());
    return failure;
  }

 private:
  NSMutableURLRequest request(const std::string& method, const std::string& name,
                              const std::string& query) const {
    const std::string key = percentEncoded(destination_.prefix() + name, true);
    const auto url = NSURL::URLWithString(destination_.location() + "/" + destination_.folder() +
                                          "/" + key + (query.empty() ? "" : "?" + query));
    // Without a URL (which the checked settings always make), the request fails unsent.
    auto request = NSMutableURLRequest::requestWithURL(url.value_or(NSURL::fileURLWithPath("/")),
                                                       NSURLRequestReloadIgnoringCacheData, 60.0);
    request.setHTTPMethod(method);
    return request;
  }

  void describeObject(NSMutableURLRequest& request, const std::string& name) const {
    request.setValue(contentTypeOf(name), "Content-Type");
    if (destination_.settings().publicRead) request.setValue("public-read", "x-amz-acl");
  }

  std::variant<URLTransfer::Answer, Failure> send(NSMutableURLRequest request, const Data& body) {
    const Digests digests = digestsOf(body);
    request.setValue(digests.sha256Hex, "x-amz-content-sha256");
    if (!body.empty()) request.setValue(digests.md5Base64, "Content-MD5");
    request.setHTTPBody(body);
    auto answer = transfer_.send(request, signature_);
    if (const auto* error = std::get_if<NSError>(&answer))
      return Failure{"the store cannot be reached: " + error->localizedDescription()};
    return std::get<URLTransfer::Answer>(answer);
  }

  std::optional<Failure> putParts(const std::string& name, const std::string& id,
                                  const Data& bytes) {
    std::string completion = "<CompleteMultipartUpload>";
    for (size_t at = 0, number = 1; at < bytes.size(); at += PartBytes, ++number) {
      const auto answer = send(request("PUT", name,
                                       "partNumber=" + std::to_string(number) +
                                           "&uploadId=" + percentEncoded(id, false)),
                               bytes.subdataWithRange(at, std::min(PartBytes, bytes.size() - at)));
      if (const auto* failed = std::get_if<Failure>(&answer)) return *failed;
      const auto& got = std::get<URLTransfer::Answer>(answer);
      const auto tag = got.headerFields.find("etag");
      if (got.statusCode != 200 || tag == got.headerFields.end()) return refused(name, got);
      completion += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" +
                    tag->second + "</ETag></Part>";
    }
    completion += "</CompleteMultipartUpload>";
    const auto answer = send(request("POST", name, "uploadId=" + percentEncoded(id, false)),
                             Data(completion.begin(), completion.end()));
    if (const auto* failed = std::get_if<Failure>(&answer)) return *failed;
    // A completion can fail after its 200 has gone out: the body then holds the error.
    const auto& got = std::get<URLTransfer::Answer>(answer);
    if (got.statusCode != 200 || !element(got.body, "Code").empty()) return refused(name, got);
    return std::nullopt;
  }

  Failure refused(const std::string& name, const URLTransfer::Answer& answer) const {
    return {"the store refused " + name + ": " + storeError(answer)};
  }

  const Destination& destination_;
  const URLTransfer::AWSSignature signature_;
  URLTransfer& transfer_;
};

}  // namespace

PutOutcome putInBucket(const Destination& destination, const Data& bytes,
                       const std::string& fileName, URLTransfer& transfer) {
  const auto keys = keysFor(destination);
  if (const auto* failed = std::get_if<Failure>(&keys)) return *failed;
  BucketUpload upload(destination, std::get<AWSCredentials>(keys), transfer);
  const std::string name = destination.nameFor(fileName);
  for (int number = 1; number <= NameVariants; ++number) {
    const std::string candidate = Destination::variant(name, number);
    // A store that does not keep If-None-Match would replace a file of that name.
    if (destination.namesItsOwn() && upload.holds(candidate)) continue;
    if (bytes.size() > WholeBytesMost) {
      if (auto failed = upload.putInParts(candidate, bytes)) return *failed;
      return destination.addressFor(candidate);
    }
    const auto put = upload.putWhole(candidate, bytes);
    if (const auto* failed = std::get_if<Failure>(&put)) return *failed;
    if (std::holds_alternative<std::monostate>(put)) return destination.addressFor(candidate);
  }
  return Failure{"no free name for " + name + " in " + destination.settings().url};
}
