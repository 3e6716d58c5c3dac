#include "tools/kapsho-upload-server/ImageType.h"

#include <algorithm>

namespace upload_server {

namespace {

using namespace std::string_view_literals;

// '?' stands for any byte. The BMP header's reserved words are zero, which text never is.
constexpr struct {
  std::string_view pattern;
  ImageType type;
} kSignatures[] = {
    {"\x89PNG\r\n\x1a\n"sv, {"image/png", ".png"}},
    {"\xff\xd8\xff"sv, {"image/jpeg", ".jpg"}},
    {"GIF87a"sv, {"image/gif", ".gif"}},
    {"GIF89a"sv, {"image/gif", ".gif"}},
    {"II*\0"sv, {"image/tiff", ".tiff"}},
    {"MM\0*"sv, {"image/tiff", ".tiff"}},
    {"BM????\0\0\0\0"sv, {"image/bmp", ".bmp"}},
    {"RIFF????WEBP"sv, {"image/webp", ".webp"}},
};

bool matches(std::string_view pattern, std::string_view bytes) {
  return bytes.size() >= pattern.size() &&
         std::equal(pattern.begin(), pattern.end(), bytes.begin(),
                    [](char want, char got) { return want == '?' || want == got; });
}

}  // namespace

std::optional<ImageType> imageTypeOf(std::string_view leadingBytes) {
  for (const auto& signature : kSignatures)
    if (matches(signature.pattern, leadingBytes)) return signature.type;
  return std::nullopt;
}

std::optional<std::string_view> imageTypeOfExtension(std::string_view extension) {
  for (const auto& signature : kSignatures)
    if (signature.type.extension == extension) return signature.type.mediaType;
  return std::nullopt;
}

}  // namespace upload_server
