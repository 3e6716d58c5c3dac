#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;

namespace {

// Every shipped localization of the capture tool names screenshots with a format of two
// placeholders and a picture word, read through the same calls the agent makes.
TEST(ScreenCaptureStrings, EveryLocalizationHasTheNameFormatAndPictureWord) {
  testing_support::ScopedEnv root("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho"));
  auto bundle = CFBundleCreate(
      NSURL::fileURLWithPath(systemPath("/System/Library/CoreServices/SystemUIServer.app")));
  ASSERT_TRUE(bundle);
  const auto localizations = CFBundleCopyBundleLocalizations(bundle);
  ASSERT_GE(localizations.size(), 3u);
  std::map<std::string, std::string> words;
  for (const auto& localization : localizations) {
    auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", localization);
    ASSERT_EQ(urls.size(), 1u) << localization;
    EXPECT_EQ(urls[0].relativePath(), "ScreenCapture.strings");
    std::string error;
    auto table = dictionaryWithContentsOfFile(urls[0].path(), &error);
    ASSERT_TRUE(table) << localization << ": " << error;
    const Value* format = valueForKey(*table, "%@ %@");
    const Value* word = valueForKey(*table, "Picture");
    ASSERT_TRUE(format && format->isString() && word && word->isString()) << localization;
    EXPECT_NE(format->string()->find("@"), std::string::npos);
    words[localization] = *word->string();
  }
  EXPECT_EQ(words["en"], "Picture");
  EXPECT_EQ(words["de"], "Bild");
  EXPECT_EQ(words["fr"], "Image");     // stored as UTF-16 little-endian
  EXPECT_EQ(words["ja"], "ピクチャ");  // stored as UTF-16 big-endian
}

}  // namespace
