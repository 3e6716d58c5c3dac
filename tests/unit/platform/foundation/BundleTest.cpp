// A bundle's folders and the files it reads: property lists and strings tables.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;
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
  auto urls = CFBundleCopyResourceURLsOfTypeForLocalization(bundle, "strings", "en");
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0].relativePath(), "Capture Name.strings");
  EXPECT_EQ(urls[0].path(), resources + "/en.lproj/Capture Name.strings");
  EXPECT_EQ(urls[0].absoluteString(), "file://" + resources + "/en.lproj/Capture%20Name.strings");
  for (const char* bad : {"http://host/with space", "http://host/bad%zz"})
    EXPECT_FALSE(NSURL::URLWithString(bad)) << bad;
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

TEST(PropertyList, XmlRoundTripBinaryReadAndDamagedInputIsAnError) {
  const Value original(Dictionary{
      {"string", Value("Grüße \"quoted\" <tag> & more")},
      {"large", Value(-(std::int64_t{1} << 40))},
      {"yes", Value(true)},
      {"date", Value(Date(std::chrono::seconds(1205532566)))},
      {"data", Value(Data{0, 1, 2, 255})},
      {"list", Value(Array{Value(Dictionary{{"url", Value("http://h/i/a.png")}}), Value("x")})},
  });
  const std::string xml = xmlPropertyList(original);
  EXPECT_EQ(propertyListFromBytes(xml), original);
  EXPECT_NE(xml.find("<date>2008-03-14T22:09:26Z</date>"), std::string::npos) << xml;
  EXPECT_FALSE(propertyListFromBytes(xml.substr(0, xml.size() / 2)));

  // {"Picture": "Bild"} in the binary form.
  TempDir dir;
  writeFile(
      dir.file("t.strings"),
      std::string("bplist00\xd1\x01\x02WPictureTBild\x08\x0b\x13\0\0\0\0\0\0\1\1\0\0\0\0\0\0\0\3"
                  "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x18",
                  59));
  EXPECT_EQ(dictionaryWithContentsOfFile(dir.file("t.strings")),
            (Dictionary{{"Picture", Value("Bild")}}));
}

// The later of two entries wins; a key alone stands for itself. UTF-16 comes with either byte
// order, UTF-8 with or without a byte-order mark.
TEST(StringsTable, ClassicTextFormWithCommentsEscapesAndBareWordsInUtf8OrUtf16) {
  const std::string text =
      "/* Name format of a screen shot */\n"
      "\"Picture\"=\"Bild\" ;\n"
      "// a line comment\n"
      "\"escaped\" = \"tab\\there\\nquote\\\" back\\\\ \\U00e9\\u00E8 \\101 \\UD83D\\UDE00\";\n"
      "bare_word = value.with/slashes;\n"
      "\"same\";\n"
      "\"Picture\" = \"Bildschirmfoto\";\n";
  EXPECT_EQ(stringsTableFromText(text),
            (Dictionary{{"Picture", Value("Bildschirmfoto")},
                        {"escaped", Value("tab\there\nquote\" back\\ éè A 😀")},
                        {"bare_word", Value("value.with/slashes")},
                        {"same", Value("same")}}));
  EXPECT_EQ(stringsTableFromText("\xEF\xBB\xBF{ \"a\" = \"b\"; }\n"),
            (Dictionary{{"a", Value("b")}}));
  // "k"="日本"; in both byte orders
  for (const auto& utf16 : {std::string("\xFF\xFE\"\0k\0\"\0=\0\"\0\xE5\x65\x2C\x67\"\0;\0", 20),
                            std::string("\xFE\xFF\0\"\0k\0\"\0=\0\"\x65\xE5\x67\x2C\0\"\0;", 20)})
    EXPECT_EQ(stringsTableFromText(utf16), (Dictionary{{"k", Value("日本")}}));
}

TEST(StringsTable, MalformedTablesAreErrorsNeverPartialReads) {
  for (const char* text : {"\"a\" = \"b\";\n\"c\" = \"d\"", "\"a\" = \"b\";\n\"c\" = \"open;",
                           "\"a\" = \"b\"; /* open", "\"a\" = ;", "\"a\" = \"\\UD800\";",
                           "\"a\" = \"b\"; }", "{ \"a\" = \"b\";"}) {
    std::string error;
    EXPECT_FALSE(stringsTableFromText(text, &error)) << text;
    EXPECT_NE(error.find("line"), std::string::npos) << text << " -> " << error;
  }
  EXPECT_FALSE(stringsTableFromText("\"a\" = \"\xC3\x28\";"));  // invalid UTF-8
  EXPECT_FALSE(stringsTableFromText("\xFF\xFE\x22"));           // odd-length UTF-16
}

}  // namespace
