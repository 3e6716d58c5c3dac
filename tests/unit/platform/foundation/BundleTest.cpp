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

// en, de and fr localizations; fr has no strings table of the wanted name, and a folder named
// like a table is none.
TEST(Bundle, InfoResourcesAndLocalizations) {
  TempDir dir;
  const std::string resources = dir.file("Tool.app") + "/Contents/Resources";
  for (const char* folder : {"/en.lproj", "/de.lproj", "/fr.lproj", "/en.lproj/Folder.strings"})
    std::filesystem::create_directories(resources + folder);
  writeFile(dir.file("Tool.app") + "/Contents/Info.plist",
            xmlPropertyList(Value(Dictionary{{"CFBundleIdentifier", Value("com.example.tool")}})));
  for (const char* file :
       {"/en.lproj/Capture Name.strings", "/en.lproj/Other.strings", "/en.lproj/notes.txt",
        "/de.lproj/Capture Name.strings", "/fr.lproj/Other.strings", "/icon.png"})
    writeFile(resources + file, "");
  auto bundle = CFBundleCreate(NSURL::fileURLWithPath(dir.file("Tool.app")));
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.tool");
  EXPECT_EQ(CFBundleCopyBundleLocalizations(bundle), (V{"de", "en", "fr"}));
  EXPECT_EQ(*bundle->pathForResource("icon", "png"), resources + "/icon.png");
  EXPECT_FALSE(bundle->pathForResource("missing", "png"));
  auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "en");
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[0].relativePath(), "Capture Name.strings");
  EXPECT_EQ(urls[0].path(), resources + "/en.lproj/Capture Name.strings");
  EXPECT_EQ(urls[1].relativePath(), "Other.strings");
  EXPECT_TRUE(CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "xx").empty());
  EXPECT_FALSE(CFBundleCreate(NSURL::fileURLWithPath(dir.file("Missing.app"))));
}

// Without a match: the development region's, else "en", else the first localization.
TEST(Bundle, LocalizationsAreNarrowedToTheUserLanguagesBestFirst) {
  auto narrowed = [](std::optional<std::string> language, std::optional<std::string> lang) {
    ScopedEnv a("LANGUAGE", language), b("LC_ALL", std::nullopt), c("LC_MESSAGES", std::nullopt),
        d("LANG", lang);
    return CFBundleCopyLocalizationsForPreferences({"de", "en", "fr"});
  };
  EXPECT_EQ(narrowed(std::nullopt, "de_DE.UTF-8"), V{"de"});
  EXPECT_EQ(narrowed("fr_CA:de", "en_US.UTF-8"), (V{"fr", "de", "en"}));
  EXPECT_EQ(narrowed(std::nullopt, "C"), V{"en"});
  EXPECT_EQ(narrowed("pt_BR", "ja_JP.UTF-8"), V{"en"});
  EXPECT_EQ(localizationsForPreferences({"English", "German"}, {"de_AT"}), V{"German"});
  EXPECT_EQ(localizationsForPreferences({"pt-BR", "pt"}, {"pt_BR"}), V{"pt-BR"});
  EXPECT_EQ(localizationsForPreferences({"ja", "zh"}, {"ko"}), V{"ja"});
  EXPECT_TRUE(localizationsForPreferences({}, {"en"}).empty());
}

TEST(SearchPath, DesktopComesFromUserDirsElseHome) {
  TempHome home;
  auto desktop = [](bool expand) {
    return NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, expand);
  };
  EXPECT_EQ(desktop(true), V{home.path() + "/Desktop"});
  std::filesystem::create_directories(home.configHome());
  writeFile(home.configHome() + "/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
            "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(desktop(true), V{home.path() + "/Schreibtisch"});
  EXPECT_EQ(desktop(false), V{"~/Schreibtisch"});
}

TEST(URL, TextAndFileUrls) {
  EXPECT_TRUE(NSURL::URLWithString("http://127.0.0.1:8451/i/0123456789abcdef.png"));
  EXPECT_TRUE(NSURL::URLWithString("/i/relative.png"));
  for (const char* bad : {"http://host/with space", "http://host/bad%zz", "a#b#c"})
    EXPECT_FALSE(NSURL::URLWithString(bad)) << bad;
  TempDir dir;
  EXPECT_EQ(NSURL::fileURLWithPath(dir.path()).absoluteString(), "file://" + dir.path() + "/");
  const NSURL spaced = NSURL::fileURLWithPath("/tmp/a b/Picture 1.png", false);
  EXPECT_EQ(spaced.absoluteString(), "file:///tmp/a%20b/Picture%201.png");
  EXPECT_EQ(spaced.path(), "/tmp/a b/Picture 1.png");
  EXPECT_TRUE(spaced.isFileURL());
  auto relative = NSURL::URLWithString("x.strings", NSURL::fileURLWithPath("/r/en.lproj", true));
  EXPECT_EQ(relative->absoluteString(), "file:///r/en.lproj/x.strings");
  EXPECT_EQ(relative->relativePath(), "x.strings");
}

}  // namespace
