#include "tools/kapsho-capture/CaptureNaming.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace kapsho_capture {

namespace {

const std::string ScreenCaptureDomain = "com.apple.screencapture";

std::optional<std::string> storedSetting(const std::optional<Dictionary>& domain,
                                         const std::string& key) {
  const Value* value = domain ? valueForKey(*domain, key) : nullptr;
  return value && value->string() ? std::optional(*value->string()) : std::nullopt;
}

// Only the best-fitting localization counts: the agent tries no other.
std::optional<std::string> stringsTablePath() {
  const auto bundle = CFBundleCreate(
      NSURL::fileURLWithPath(systemPath("/System/Library/CoreServices/SystemUIServer.app")));
  const auto fitting =
      CFBundleCopyLocalizationsForPreferences(CFBundleCopyBundleLocalizations(bundle));
  if (fitting.empty()) return std::nullopt;
  for (const NSURL& url :
       CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", fitting.front()))
    if (url.relativePath() == "ScreenCapture.strings") return url.path();
  return std::nullopt;
}

}  // namespace

CaptureSettings readCaptureSettings() {
  const auto domain = NSUserDefaults::persistentDomainForName(ScreenCaptureDomain);
  auto folder = storedSetting(domain, "location");
  if (!folder) {
    const auto desktop =
        NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, true);
    folder = desktop.empty() ? std::string() : desktop.front();
  }
  return {storedSetting(domain, "type").value_or("png"), *folder};
}

ScreenshotNames::ScreenshotNames(std::string format, std::string word)
    : format_(std::move(format)), word_(std::move(word)) {}

std::optional<ScreenshotNames> ScreenshotNames::fromLocalization() {
  const auto path = stringsTablePath();
  const auto table = path ? dictionaryWithContentsOfFile(*path) : std::nullopt;
  const Value* format = table ? valueForKey(*table, "%@ %@") : nullptr;
  const Value* word = table ? valueForKey(*table, "Picture") : nullptr;
  if (!format || !format->string() || !word || !word->string()) return std::nullopt;
  return ScreenshotNames(*format->string(), *word->string());
}

std::string ScreenshotNames::name(long number, const std::string& type) const {
  return stringWithFormat(format_, word_, std::to_string(number)) + "." + type;
}

}  // namespace kapsho_capture
