#include "platform/foundation/ScreenCapture.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

namespace platform {

namespace {

const std::string ScreenCaptureDomain = "com.apple.screencapture";

// A setting of the capture tool as stored, when it is text.
std::optional<std::string> screenCaptureSetting(const std::string& key) {
  const auto domain = NSUserDefaults::persistentDomainForName(ScreenCaptureDomain);
  const Value* value = domain ? valueForKey(*domain, key) : nullptr;
  return value && value->string() ? std::optional(*value->string()) : std::nullopt;
}

std::optional<NSURL> screenCaptureStringsURL() {
  const CFBundleRef bundle = CFBundleCreate(
      NSURL::fileURLWithPath(systemPath("/System/Library/CoreServices/SystemUIServer.app")));
  const auto preferred =
      CFBundleCopyLocalizationsForPreferences(CFBundleCopyBundleLocalizations(bundle));
  if (preferred.empty()) return std::nullopt;
  for (const NSURL& url :
       CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", preferred.front()))
    if (url.relativePath() == "ScreenCapture.strings") return url;
  return std::nullopt;
}

}  // namespace

std::string screenCaptureType() {
  return screenCaptureSetting("type").value_or("png");
}

std::string screenCaptureLocation() {
  if (auto location = screenCaptureSetting("location")) return *location;
  const auto desktop =
      NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, true);
  return desktop.empty() ? std::string() : desktop.front();
}

ScreenCaptureNames::ScreenCaptureNames(std::string format, std::string word)
    : format_(std::move(format)), word_(std::move(word)) {}

std::optional<ScreenCaptureNames> ScreenCaptureNames::fromLocalization() {
  const auto url = screenCaptureStringsURL();
  const auto table = url ? dictionaryWithContentsOfFile(url->path()) : std::nullopt;
  const Value* format = table ? valueForKey(*table, "%@ %@") : nullptr;
  const Value* word = table ? valueForKey(*table, "Picture") : nullptr;
  if (!format || !format->string() || !word || !word->string()) return std::nullopt;
  return ScreenCaptureNames(*format->string(), *word->string());
}

std::string ScreenCaptureNames::name(const std::string& number) const {
  return stringWithFormat(format_, word_, number);
}

}  // namespace platform
