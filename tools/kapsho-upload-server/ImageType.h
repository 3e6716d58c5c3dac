// The kinds of image the service takes, told by their first bytes: a name or a declared type
// says nothing about what a file holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace upload_server {

// Enough leading bytes to tell every kind apart.
constexpr std::size_t kImageSignatureBytes = 12;

struct ImageType {
  std::string_view mediaType;
  // What a stored file of this kind is called by, dot included: a name's extension comes from
  // the bytes, never from the client, so that no server of the folder takes an image for a page.
  std::string_view extension;
};

// The kind of a PNG, JPEG, GIF, TIFF, BMP or WebP image that starts with these bytes, or nullopt
// for anything else (including too few bytes to tell).
std::optional<ImageType> imageTypeOf(std::string_view leadingBytes);
// The media type of a stored name's extension (".png"), or nullopt for one this service never
// gives.
std::optional<std::string_view> imageTypeOfExtension(std::string_view extension);

}  // namespace upload_server
