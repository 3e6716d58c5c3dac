#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::TempHome;
using testing_support::writeFile;
using V = std::vector<std::string>;

namespace {

// Only files of the type are resources of it: a folder named like a strings table is none.
TEST(Bundle, InfoResourcesAndLocalizations) {
  TempDir dir;
  const std::string resources = dir.file("Tool.app") + "/Contents/Resources";
  std::filesystem::create_directories(resources + "/en.lproj/Folder.strings");
  std::filesystem::create_directories(resources + "/de.lproj");
  writeFile(dir.file("Tool.app") + "/Contents/Info.plist",
            xmlPropertyList(Value(Dictionary{{"CFBundleIdentifier", Value("com.example.tool")}})));
  for (const char* file : {"/en.lproj/Capture Name.strings", "/en.lproj/notes.txt", "/icon.png"})
    writeFile(resources + file, "");
  auto bundle = CFBundleCreate(NSURL::fileURLWithPath(dir.file("Tool.app")));
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.tool");
  EXPECT_EQ(CFBundleCopyBundleLocalizations(bundle), (V{"de", "en"}));
  EXPECT_EQ(*bundle->pathForResource("icon", "png"), resources + "/icon.png");
  EXPECT_FALSE(bundle->pathForResource("missing", "png"));
  auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "en");
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0].relativePath(), "Capture Name.strings");
  EXPECT_EQ(urls[0].path(), resources + "/en.lproj/Capture Name.strings");
  EXPECT_FALSE(CFBundleCreate(NSURL::fileURLWithPath(dir.file("Missing.app"))));
}

// Without a match: the development region's, else "en", else the first localization.
TEST(Bundle, LocalizationsAreNarrowedToTheUserLanguagesBestFirst) {
  ScopedEnv a("LANGUAGE", "fr_CA:de"), b("LC_ALL", std::nullopt), c("LC_MESSAGES", std::nullopt),
      d("LANG", "en_US.UTF-8");
  EXPECT_EQ(CFBundleCopyLocalizationsForPreferences({"de", "en", "fr"}), (V{"fr", "de", "en"}));
  EXPECT_EQ(localizationsForPreferences({"English", "German"}, {"de_AT"}), V{"German"});
  EXPECT_EQ(localizationsForPreferences({"pt-BR", "pt"}, {"pt_BR"}), V{"pt-BR"});
  EXPECT_EQ(localizationsForPreferences({"ja", "en"}, {"ko"}), V{"en"});
  EXPECT_EQ(localizationsForPreferences({"ja", "zh"}, {"ko"}), V{"ja"});
}

TEST(SearchPath, DesktopComesFromUserDirsElseHome) {
  TempHome home;
  auto desktop = [](bool expand) {
    return NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, expand);
  };
  EXPECT_EQ(desktop(true), V{home.path() + "/Desktop"});
  std::filesystem::create_directories(home.configHome());
  writeFile(home.configHome() + "/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  EXPECT_EQ(desktop(true), V{home.path() + "/Schreibtisch"});
  EXPECT_EQ(desktop(false), V{"~/Schreibtisch"});
}

TEST(URL, TextAndFileUrls) {
  EXPECT_TRUE(NSURL::URLWithString("http://127.0.0.1:8451/i/0123456789abcdef.png"));
  for (const char* bad : {"http://host/with space", "http://host/bad%zz"})
    EXPECT_FALSE(NSURL::URLWithString(bad)) << bad;
  const NSURL spaced = NSURL::fileURLWithPath("/tmp/a b/Picture 1.png", false);
  EXPECT_EQ(spaced.absoluteString(), "file:///tmp/a%20b/Picture%201.png");
  EXPECT_EQ(spaced.path(), "/tmp/a b/Picture 1.png");
  auto relative = NSURL::URLWithString("x.strings", NSURL::fileURLWithPath("/r/en.lproj", true));
  EXPECT_EQ(relative->absoluteString(), "file:///r/en.lproj/x.strings");
  EXPECT_EQ(relative->relativePath(), "x.strings");
}

}  // namespace
