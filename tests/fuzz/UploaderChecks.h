// What the custom uploader targets check of an answer read: the addresses are http or https and
// carry no secret of the uploader outside their host, not even percent-encoded; a failure is one
// line that says which status the upload got and holds no secret.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <algorithm>

#include "common/CustomUploader.h"
#include "tests/fuzz/FuzzSupport.h"

namespace fuzz_support {

// The values a file's Headers, Arguments and Parameters give as written (no calls in them), long
// enough to be kept out of every text.
inline std::vector<std::string> secretsOfFile(std::string_view file) {
  std::vector<std::string> secrets;
  const QJsonObject object =
      QJsonDocument::fromJson(QByteArray(file.data(), qsizetype(file.size()))).object();
  for (const char* field : {"Headers", "Arguments", "Parameters"}) {
    const QJsonObject values = object.value(field).toObject();
    for (auto it = values.begin(); it != values.end(); ++it) {
      const std::string value = it.value().toString().toStdString();
      if (value.size() >= CustomUploader::SecretBytesLeast &&
          value.find_first_of("{}$\\*") == std::string::npos)
        secrets.push_back(value);
    }
  }
  return secrets;
}

inline bool isOneLine(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// An address as the uploader gives it, with its host and the request's own user information
// taken out, as text and percent-decoded.
inline std::vector<std::string> outsideHost(const std::string& address, const QUrl& request) {
  QUrl url(QString::fromStdString(address));
  url.setHost("host.invalid");
  if (url.userInfo() == request.userInfo()) url.setUserInfo({});
  const QByteArray encoded = url.toEncoded();
  return {encoded.toStdString(), QByteArray::fromPercentEncoding(encoded).toStdString()};
}

inline void checkAddress(const std::string& address, const std::vector<std::string>& secrets,
                         const QUrl& request, const char* which) {
  const std::string scheme = address.substr(0, address.find("://"));
  FUZZ_REQUIRE(address.empty() || QString::fromStdString(scheme).toLower() == "http" ||
                   QString::fromStdString(scheme).toLower() == "https",
               std::string(which) + " is not http(s): " + shown(address));
  FUZZ_REQUIRE(isOneLine(address), std::string(which) + " is not one line: " + shown(address));
  for (const std::string& text : outsideHost(address, request))
    for (const std::string& secret : secrets)
      FUZZ_REQUIRE(
          text.find(secret) == std::string::npos,
          std::string(which) + " carries the secret " + shown(secret) + ": " + shown(address));
}

inline void checkAnswerRead(
    const std::variant<CustomUploader::Links, CustomUploader::Failure>& read,
    const std::vector<std::string>& secrets, int status, const QUrl& request) {
  if (const auto* failure = std::get_if<CustomUploader::Failure>(&read)) {
    const std::string& reason = failure->reason;
    const std::string got = "Upload got " + std::to_string(status) + " response";
    FUZZ_REQUIRE(reason.starts_with(got),
                 "a failure does not say what the upload got: " + shown(reason));
    FUZZ_REQUIRE(isOneLine(reason), "a failure is not one line: " + shown(reason));
    // What follows the status quotes the answer and the file.
    for (const std::string& secret : secrets)
      FUZZ_REQUIRE(reason.find(secret, got.size()) == std::string::npos,
                   "a failure holds the secret " + shown(secret) + ": " + shown(reason));
    return;
  }
  FUZZ_REQUIRE(status >= 200 && status <= 299,
               "an answer of status " + std::to_string(status) + " gave addresses");
  const auto& links = std::get<CustomUploader::Links>(read);
  FUZZ_REQUIRE(!links.url.empty(), "an answer read gave no address");
  checkAddress(links.url, secrets, request, "the address");
  checkAddress(links.thumbnailURL, secrets, request, "the thumbnail's address");
  checkAddress(links.deletionURL, secrets, request, "the deletion address");
}

}  // namespace fuzz_support
