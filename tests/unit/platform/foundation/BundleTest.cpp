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

namespace {

// A bundle with en, de and fr localizations; fr has no strings table of the wanted name.
class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    path = dir.file("Tool.app");
    fs::create_directories(path + "/Contents/Resources/en.lproj");
    fs::create_directories(path + "/Contents/Resources/de.lproj");
    fs::create_directories(path + "/Contents/Resources/fr.lproj");
    fs::create_directories(path + "/Contents/Resources/Folder.strings");  // a folder, not a table
    writeFile(path + "/Contents/Info.plist",
              xmlPropertyList(Value(Dictionary{{"CFBundleIdentifier", Value("com.example.tool")},
                                               {"CFBundleDevelopmentRegion", Value("en")}})));
    writeFile(path + "/Contents/Resources/en.lproj/Capture Name.strings", "\"a\"=\"b\";");
    writeFile(path + "/Contents/Resources/en.lproj/Other.strings", "");
    writeFile(path + "/Contents/Resources/en.lproj/notes.txt", "");
    writeFile(path + "/Contents/Resources/de.lproj/Capture Name.strings", "");
    writeFile(path + "/Contents/Resources/fr.lproj/Other.strings", "");
    writeFile(path + "/Contents/Resources/icon.png", "png");
  }
  TempDir dir;
  std::string path;
};

TEST_F(BundleTest, InfoResourcesAndLocalizations) {
  auto bundle = CFBundleCreate(NSURL::fileURLWithPath(path));
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.tool");
  EXPECT_EQ(CFBundleCopyBundleLocalizations(bundle), (std::vector<std::string>{"de", "en", "fr"}));
  EXPECT_EQ(*bundle->pathForResource("icon", "png"), path + "/Contents/Resources/icon.png");
  EXPECT_FALSE(bundle->pathForResource("missing", "png"));
  auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "en");
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[0].relativePath(), "Capture Name.strings");
  EXPECT_EQ(urls[0].path(), path + "/Contents/Resources/en.lproj/Capture Name.strings");
  EXPECT_EQ(urls[1].relativePath(), "Other.strings");
  EXPECT_TRUE(CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "xx").empty());
  EXPECT_FALSE(CFBundleCreate(NSURL::fileURLWithPath(dir.file("Missing.app"))));
}

TEST_F(BundleTest, LocalizationsAreNarrowedToTheUserLanguagesBestFirst) {
  const std::vector<std::string> all{"de", "en", "fr"};
  auto narrowed = [&](std::optional<std::string> language, std::optional<std::string> lang) {
    ScopedEnv a("LANGUAGE", language), b("LC_ALL", std::nullopt), c("LC_MESSAGES", std::nullopt),
        d("LANG", lang);
    return CFBundleCopyLocalizationsForPreferences(all);
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(narrowed(std::nullopt, "de_DE.UTF-8"), V{"de"});
  EXPECT_EQ(narrowed("fr_CA:de", "en_US.UTF-8"), (V{"fr", "de", "en"}));
  EXPECT_EQ(narrowed(std::nullopt, "C"), V{"en"});       // no language: development region
  EXPECT_EQ(narrowed("pt_BR", "ja_JP.UTF-8"), V{"en"});  // no match either
  EXPECT_EQ(localizationsForPreferences({"English", "German"}, {"de_AT"}), V{"German"});
  EXPECT_EQ(localizationsForPreferences({"pt-BR", "pt"}, {"pt_BR"}), V{"pt-BR"});
  EXPECT_EQ(localizationsForPreferences({"ja", "zh"}, {"ko"}), V{"ja"});
  EXPECT_TRUE(localizationsForPreferences({}, {"en"}).empty());
}

TEST(SearchPath, DesktopComesFromUserDirsElseHome) {
  TempHome home;
  auto desktop = [] {
    return NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, true);
  };
  EXPECT_EQ(desktop(), std::vector<std::string>{home.path() + "/Desktop"});
  std::filesystem::create_directories(home.configHome());
  writeFile(home.configHome() + "/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
            "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(desktop(), std::vector<std::string>{home.path() + "/Schreibtisch"});
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, false),
            std::vector<std::string>{"~/Schreibtisch"});
}

TEST(URL, TextAndFileUrls) {
  EXPECT_TRUE(NSURL::URLWithString("http://127.0.0.1:8451/i/0123456789abcdef.png"));
  EXPECT_TRUE(NSURL::URLWithString("/i/relative.png"));
  EXPECT_FALSE(NSURL::URLWithString("http://host/with space"));
  EXPECT_FALSE(NSURL::URLWithString("http://host/bad%zz"));
  EXPECT_FALSE(NSURL::URLWithString("a#b#c"));
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
