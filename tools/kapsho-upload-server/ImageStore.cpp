#include "tools/kapsho-upload-server/ImageStore.h"

#include <QCryptographicHash>

#include <algorithm>

#include "platform/foundation/FileIO.h"

namespace upload_server {

namespace {

constexpr std::size_t kHashDigits = 16;
constexpr std::size_t kMaxExtension = 16;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLower(char c) {
  return c >= 'a' && c <= 'z';
}
bool isAsciiAlnum(char c) {
  return isDigit(c) || isLower(c) || (c >= 'A' && c <= 'Z');
}

// Exactly the names nameFor() gives: 16 lower-case hex digits, then maybe '.' and 1 to 16
// lower-case letters or digits.
bool isWellFormed(std::string_view name) {
  if (name.size() < kHashDigits ||
      !std::all_of(name.begin(), name.begin() + kHashDigits,
                   [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }))
    return false;
  const std::string_view extension = name.substr(kHashDigits);
  if (extension.empty()) return true;
  return extension.size() >= 2 && extension.size() <= kMaxExtension + 1 && extension[0] == '.' &&
         std::all_of(extension.begin() + 1, extension.end(),
                     [](char c) { return isDigit(c) || isLower(c); });
}

// Percent-encoded quotes and line breaks hold '%', so they never pass for an extension either
// way: the raw name needs no decoding.
std::string extensionOf(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(fileName.substr(dot + 1));
  if (extension.empty() || extension.size() > kMaxExtension ||
      !std::all_of(extension.begin(), extension.end(), isAsciiAlnum))
    return {};
  std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return extension;
}

}  // namespace

ImageStore::ImageStore(std::filesystem::path directory) : directory_(std::move(directory)) {
  std::filesystem::create_directories(directory_);
}

std::string ImageStore::nameFor(const std::string& bytes, std::string_view originalFileName) {
  const QByteArray digest =
      QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                               QCryptographicHash::Sha256)
          .toHex();
  std::string name = digest.left(kHashDigits).toStdString();
  const std::string extension = extensionOf(originalFileName);
  if (!extension.empty()) name += "." + extension;
  return name;
}

std::optional<std::string> ImageStore::store(const std::string& bytes,
                                             std::string_view originalFileName,
                                             std::string* error) const {
  std::string name = nameFor(bytes, originalFileName);
  if (!platform::writeFileAtomically((directory_ / name).string(), bytes, error))
    return std::nullopt;
  return name;
}

std::optional<std::filesystem::path> ImageStore::find(const std::string& name) const {
  // Only names this store hands out pass, so no request reaches outside the folder.
  if (!isWellFormed(name)) return std::nullopt;
  std::filesystem::path path = directory_ / name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  return path;
}

}  // namespace upload_server
