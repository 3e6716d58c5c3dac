#include <gtest/gtest.h>

#include <algorithm>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;

namespace {

// Every shipped localization of the capture tool names screenshots with a format of two
// placeholders and a picture word, read through the same calls the agent makes. French is stored
// as UTF-16 little-endian, Japanese as UTF-16 big-endian.
TEST(ScreenCaptureStrings, EveryLocalizationHasTheNameFormatAndPictureWord) {
  testing_support::ScopedEnv root("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho"));
  auto bundle = CFBundleCreate(
      NSURL::fileURLWithPath(systemPath("/System/Library/CoreServices/SystemUIServer.app")));
  ASSERT_TRUE(bundle);
  const std::map<std::string, std::string> words = {
      {"de", "Bild"}, {"en", "Picture"}, {"fr", "Image"}, {"ja", "ピクチャ"}};
  EXPECT_EQ(CFBundleCopyBundleLocalizations(bundle).size(), words.size());
  for (const auto& [localization, word] : words) {
    auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", localization);
    ASSERT_EQ(urls.size(), 1u) << localization;
    std::string error;
    auto table = dictionaryWithContentsOfFile(urls[0].path(), &error);
    ASSERT_TRUE(table) << localization << ": " << error;
    const Value* format = valueForKey(*table, "%@ %@");
    const Value* picture = valueForKey(*table, "Picture");
    ASSERT_TRUE(format && format->isString() && picture && picture->isString()) << localization;
    EXPECT_EQ(std::count(format->string()->begin(), format->string()->end(), '@'), 2);
    EXPECT_EQ(*picture->string(), word);
  }
}

}  // namespace
