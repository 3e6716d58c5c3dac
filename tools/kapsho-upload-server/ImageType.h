// The kinds of image the service takes, told by their first bytes: a name or a declared type
// says nothing about what a file holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace upload_server {

// Enough leading bytes to tell every kind apart.
constexpr std::size_t kImageSignatureBytes = 12;

// The media type of a PNG, JPEG, GIF, TIFF, BMP or WebP image that starts with these bytes, or
// nullopt for anything else (including too few bytes to tell).
std::optional<std::string_view> imageTypeOf(std::string_view leadingBytes);

}  // namespace upload_server
