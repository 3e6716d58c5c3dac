// The screenshot pattern from the capture tool's strings tables, the capture settings, and the
// set-up failures that end the start-up.
#include <gtest/gtest.h>
#include <regex.h>

#include <filesystem>

#include "platform/foundation/Exception.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using testing_support::ScopedEnv;

namespace {

// A system root whose capture tool has the given strings tables, one per localization.
class SystemRoot {
 public:
  void addTable(const std::string& localization, const std::string& file, const std::string& text) {
    const std::string folder =
        dir_.path() + "/System/Library/CoreServices/SystemUIServer.app/Contents/Resources/" +
        localization + ".lproj";
    std::filesystem::create_directories(folder);
    testing_support::writeFile(folder + "/" + file, text);
  }
  void addPattern(const std::string& localization, const std::string& format,
                  const std::string& word) {
    addTable(localization, "ScreenCapture.strings",
             "\"%@ %@\" = \"" + format + "\";\n\"Picture\" = \"" + word + "\";\n");
  }
  const std::string& path() const { return dir_.path(); }

 private:
  testing_support::TempDir dir_;
};

platform::NSException setupFailure() {
  try {
    KapshoController controller;
  } catch (const platform::NSException& exception) {
    return exception;
  }
  return platform::NSException("", "");
}

TEST(Pattern, LocalizedNameFormatsMatchAnchoredCounters) {
  AgentEnvironment environment;
  const struct {
    const char* format;
    const char* word;
    std::vector<const char*> matching, other;
  } cases[] = {
      {"%@ %@",
       "Picture",
       {"Picture 12", "Picture 007", "Picture 1"},
       {"Picture", "Picture 1a", "Picture 12 copy", "My Picture 12", "picture 12", "Picture  1"}},
      {"%2$@ %1$@", "Bild", {"12 Bild"}, {"Bild 12", "12 Bild 3"}},
      {"%@-%@", "Pic.ure", {"Picture-3", "PicXure-3"}, {"Picture 3", "Pic-3"}},
      {"%@ (%@)", "Shot", {"Shot 4", "Shot 44"}, {"Shot (4)"}},
  };
  for (const auto& c : cases) {
    SystemRoot root;
    root.addPattern("en", c.format, c.word);
    root.addPattern("de", "%@ %@", "Bild");
    ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", root.path());
    KapshoController controller;
    for (const char* name : c.matching) EXPECT_TRUE(controller.matchPicture(name)) << name;
    for (const char* name : c.other) EXPECT_FALSE(controller.matchPicture(name)) << name;
  }
  // The staged Japanese table numbers its placeholders.
  ScopedEnv language("LANGUAGE", "ja");
  KapshoController controller;
  EXPECT_TRUE(controller.matchPicture("12 \xE3\x83\x94\xE3\x82\xAF\xE3\x83\x81\xE3\x83\xA3"));
  EXPECT_FALSE(controller.matchPicture("Picture 12"));
}

// Only the one localization that fits the user's language is searched: without a usable table
// there, the start-up ends, as it does for a pattern that does not compile.
TEST(Pattern, SetUpFailuresRaiseWithTheirReason) {
  AgentEnvironment environment;
  SystemRoot root;
  root.addPattern("en", "%@ %@", "Pic(ture");
  root.addPattern("de", "%@ %@", "Bild");
  root.addTable("fr", "Other.strings", "\"Picture\" = \"Image\";\n");
  root.addTable("it", "ScreenCapture.strings", "\"Picture\" = \"Immagine\";\n");
  ScopedEnv systemRoot("KAPSHO_SYSTEM_ROOT", root.path());
  regex_t expected;
  const int code = regcomp(&expected, "^Pic(ture [[:digit:]]+$", REG_EXTENDED | REG_NOSUB);
  ASSERT_NE(code, 0);
  const std::string unlocalized = "Could not find SystemUIServer localization for ScreenCapture";
  const struct {
    const char* language;
    std::string name, reason;
  } cases[] = {
      {"en", "RegexError", "Error compiling regex: " + regerror_str(code, &expected)},
      {"fr", "LocalizationError", unlocalized},
      {"it", "LocalizationError", unlocalized},
  };
  for (const auto& c : cases) {
    ScopedEnv language("LANGUAGE", c.language);
    const auto failure = setupFailure();
    EXPECT_EQ(failure.name(), c.name);
    EXPECT_EQ(failure.reason(), c.reason);
  }
  ScopedEnv language("LANGUAGE", "de");
  KapshoController controller;
  EXPECT_TRUE(controller.matchPicture("Bild 3"));
  EXPECT_FALSE(controller.matchPicture("Picture 3"));
}

TEST(CaptureSettings, StoredValuesAsTheyAreElseFallbacksAndAMissingFolderEndsTheStartUp) {
  AgentEnvironment environment;
  platform::NSUserDefaults::setPersistentDomain(
      {{"location", environment.folder()}, {"type", "JPG"}}, "com.apple.screencapture");
  {
    KapshoController controller;
    EXPECT_EQ(controller.scType(), "JPG");
    EXPECT_EQ(controller.scPath(), environment.folder());
  }
  platform::NSUserDefaults::removePersistentDomainForName("com.apple.screencapture");
  const std::string desktop = std::string(getenv("HOME")) + "/Desktop";
  std::filesystem::create_directories(desktop);
  {
    KapshoController controller;
    EXPECT_EQ(controller.scPath(), desktop);
    EXPECT_EQ(controller.scType(), "png");
  }
  platform::NSUserDefaults::setPersistentDomain({{"location", "~/Desktop"}},
                                                "com.apple.screencapture");
  const auto failure = setupFailure();
  EXPECT_EQ(failure.name(), "KQueueError");
  EXPECT_EQ(failure.reason(), "Error setting up kqueue: No such file or directory");
}

}  // namespace
