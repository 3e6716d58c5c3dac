// Text in and out: formats, dates, property lists, strings tables and the bundle that holds them.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <new>
#include <tuple>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"
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
            xmlPropertyList(Dictionary{{"CFBundleIdentifier", "com.example.tool"}}));
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

// Localizations without a match: the development region's, else "en", else the first. The
// desktop folder: user-dirs, else the home's.
TEST(Bundle, LanguagesAndTheDesktopFolderComeFromTheUsersSettings) {
  ScopedEnv a("LANGUAGE", "fr_CA:de"), b("LC_ALL", std::nullopt), c("LC_MESSAGES", std::nullopt),
      d("LANG", "en_US.UTF-8");
  EXPECT_EQ(CFBundleCopyLocalizationsForPreferences({"de", "en", "fr"}), (V{"fr", "de", "en"}));
  EXPECT_EQ(localizationsForPreferences({"English", "German"}, {"de_AT"}), V{"German"});
  EXPECT_EQ(localizationsForPreferences({"pt-BR", "pt"}, {"pt_BR"}), V{"pt-BR"});
  EXPECT_EQ(localizationsForPreferences({"ja", "en"}, {"ko"}), V{"en"});
  EXPECT_EQ(localizationsForPreferences({"ja", "zh"}, {"ko"}), V{"ja"});

  TempHome home;
  auto desktop = [](bool expand) {
    return NSSearchPathForDirectoriesInDomains(NSDesktopDirectory, NSUserDomainMask, expand);
  };
  EXPECT_EQ(desktop(true), V{home.path() + "/Desktop"});
  writeFile(home.configHome() + "/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  EXPECT_EQ(desktop(true), V{home.path() + "/Schreibtisch"});
  EXPECT_EQ(desktop(false), V{"~/Schreibtisch"});
}

TEST(PropertyList, XmlRoundTripBinaryReadAndDamagedInputIsAnError) {
  const Value original(Dictionary{
      {"string", "Grüße \"quoted\" <tag> & more"},
      {"large", -(std::int64_t{1} << 40)},
      {"yes", true},
      {"date", Date(std::chrono::seconds(1205532566))},
      {"data", Data{0, 1, 2, 255}},
      {"list", Array{Dictionary{{"url", "http://h/i/a.png"}}, "x"}},
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
  EXPECT_EQ(dictionaryWithContentsOfFile(dir.file("t.strings")), (Dictionary{{"Picture", "Bild"}}));
}

// The later of two entries wins; a key alone stands for itself. UTF-16 comes with either byte
// order, UTF-8 with or without a byte-order mark. A table that does not end as it should is an
// error that names its line, never a partial read.
TEST(StringsTable, ClassicTextFormInUtf8OrUtf16AndMalformedTablesAreErrors) {
  const std::string text =
      "/* Name format of a screen shot */\n"
      "\"Picture\"=\"Bild\" ;\n"
      "// a line comment\n"
      "\"escaped\" = \"tab\\there\\nquote\\\" back\\\\ \\U00e9\\u00E8 \\101 \\UD83D\\UDE00\";\n"
      "bare_word = value.with/slashes;\n"
      "\"same\";\n"
      "\"Picture\" = \"Bildschirmfoto\";\n";
  EXPECT_EQ(stringsTableFromText(text), (Dictionary{{"Picture", "Bildschirmfoto"},
                                                    {"escaped", "tab\there\nquote\" back\\ éè A 😀"},
                                                    {"bare_word", "value.with/slashes"},
                                                    {"same", "same"}}));
  EXPECT_EQ(stringsTableFromText("\xEF\xBB\xBF{ \"a\" = \"b\"; }\n"), (Dictionary{{"a", "b"}}));
  // "k"="日本"; in both byte orders
  for (const auto& utf16 : {std::string("\xFF\xFE\"\0k\0\"\0=\0\"\0\xE5\x65\x2C\x67\"\0;\0", 20),
                            std::string("\xFE\xFF\0\"\0k\0\"\0=\0\"\x65\xE5\x67\x2C\0\"\0;", 20)})
    EXPECT_EQ(stringsTableFromText(utf16), (Dictionary{{"k", "日本"}}));

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

// Missing arguments and unknown conversions stay as written; placeholders inside an argument are
// not expanded again.
TEST(Format, PlaceholdersTakeTheirArgumentsAndWhatCannotBeFilledStaysAsWritten) {
  EXPECT_EQ(stringWithFormat("%@ %ld (%i) %c%% %q %@ %@", *NSURL::URLWithString("h:a"), -1700L, -43,
                             'X', std::string("%d%@")),
            "h:a -1700 (-43) X% %q %d%@ %@");
  EXPECT_EQ(stringWithFormat("%2$@ %1$@ %2$@ %3$@ %0$@", std::string("1"), std::string("Bild")),
            "Bild 1 Bild %3$@ %0$@");
}

TEST(Value, AStringIsYesWhenItsFirstSignificantCharacterSaysSo) {
  for (const char* yes : {"Yes", "yes", "T", "true", " -007", "+0009x"})
    EXPECT_TRUE(Value(yes).boolValue()) << yes;
  for (const char* no : {"0", "no", "", "-", "x1"}) EXPECT_FALSE(Value(no).boolValue()) << no;
  EXPECT_TRUE(Value(std::int64_t{-2}).boolValue());
  EXPECT_FALSE(Value(0.0).boolValue());
}

TEST(Exception, AnyExceptionIsReportedByNameAndReason) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { NSException::raise("KQueueError", "gone"); }, "'KQueueError', reason: 'gone"},
      {[] { throw std::bad_alloc(); }, "'NSMallocException', reason: 'std::bad_alloc"},
      {[] { throw 7; }, "'NSGenericException', reason: 'an exception of unknown type"},
  };
  for (const auto& [raise, report] : cases) {
    try {
      raise();
    } catch (...) {
      EXPECT_EQ(uncaughtExceptionReport(currentException()),
                "*** Terminating app due to uncaught exception " + report + "'");
    }
  }
}

// Sets TZ for the test and makes the C library read it.
struct ScopedZone : ScopedEnv {
  explicit ScopedZone(const std::string& zone) : ScopedEnv("TZ", zone) { tzset(); }
};

Date utc(int y, unsigned m, unsigned d, int h, int min, int s) {
  using namespace std::chrono;
  return sys_days(year(y) / month(m) / day(d)) + hours(h) + minutes(min) + seconds(s);
}

// Written in the local zone, across daylight saving, without fractions of a second; read back
// from any offset. A formatter takes the time locale from LC_ALL over LC_TIME over LANG.
TEST(Date, DescribedInTheLocalZoneReadBackFromAnyOffsetAndFormattedInTheUsersLocale) {
  const std::tuple<std::string, Date, std::string> cases[] = {
      {"Asia/Kolkata", utc(2000, 2, 29, 22, 9, 26), "2000-03-01 03:39:26 +0530"},
      {"America/Los_Angeles", utc(2008, 1, 5, 8, 0, 7), "2008-01-05 00:00:07 -0800"},
      {"America/Los_Angeles", utc(2008, 3, 14, 22, 9, 26), "2008-03-14 15:09:26 -0700"},
  };
  for (const auto& [zone, date, text] : cases) {
    ScopedZone local(zone);
    EXPECT_EQ(NSDate(date + std::chrono::milliseconds(999)).description(), text);
    EXPECT_EQ(NSDate::dateWithString(text).value().timePoint(), date) << text;
  }
  for (const char* text :
       {"2008-03-14 15:09:26 -0700 ", "2008-13-14 15:09:26 -0700", "2007-02-29 15:09:26 -0700",
        "2008-03-14 24:00:00 -0700", "2008-03-14 15:09:60 -0700", "2008-03-14 15:60:26 -0700",
        "2008-03-14 15:09:26 -0760"})
    EXPECT_FALSE(NSDate::dateWithString(text)) << text;

  ScopedZone zone("America/Los_Angeles");
  ScopedEnv all("LC_ALL", std::nullopt), time("LC_TIME", "fr_FR.UTF-8"),
      lang("LANG", "de_DE.UTF-8");
  NSDateFormatter formatter;
  formatter.setDateFormat("MMM d, h:mm:ss a");
  const NSDate morning(utc(2008, 10, 2, 16, 5, 0));
  EXPECT_EQ(formatter.stringFromDate(morning), "oct. 2, 9:05:00 AM");
  ScopedEnv british("LC_ALL", "en_GB.UTF-8");
  ScopedZone tokyo("Asia/Tokyo");
  EXPECT_EQ(formatter.stringFromDate(morning), "Oct 3, 1:05:00 am");
}

}  // namespace
