// What the layer reads and writes without an event loop: Data and whole files, preferences,
// property lists and strings tables, bundles, formats and dates.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <new>
#include <tuple>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using namespace testing_support;
using std::chrono::seconds;
using V = std::vector<std::string>;

namespace {

std::string text(const Data& data) {
  return std::string(data.begin(), data.end());
}

// Appending to a copy, or to the Data a copy was taken from, changes nothing in the other, even
// where their shared last piece has room for more. A fill that fails appends nothing. Large
// storage goes back with its last holder.
TEST(Data, AppendingSharesLargePiecesAndCopiesChangeNoOtherCopy) {
  const std::string large(Data::LargeBytes, 'L');
  const std::uint8_t* address;
  {
    Data body("head", 4);
    {
      const Data file(large.data(), large.size());
      address = file.bytes();
      body.append(file);
    }
    body.append("tail", 4);
    body.append(Data("!", 1));  // the last piece now has room for more
    EXPECT_EQ(body.pieces().at(1).data(), address) << "the large piece is not copied";
    EXPECT_EQ(mappingAt(address), "");
    Data copy = body;
    copy.append("+1", 2);
    body.append("-2", 2);
    EXPECT_EQ(text(copy), "head" + large + "tail!+1");
    body.append(body);
    EXPECT_EQ(text(body), "head" + large + "tail!-2head" + large + "tail!-2");
  }
  EXPECT_EQ(mappingAt(address), std::nullopt) << "still mapped";
  Data empty;
  EXPECT_EQ(empty.appendFrom(10, [](std::uint8_t*, size_t) { return ssize_t(-1); }), -1);
  EXPECT_TRUE(empty.pieces().empty());
}

// A FIFO is refused at once: a read that waited for a writer would hold the agent's main thread.
// A large file is mapped under a read lease: a writer that rewrites or truncates it waits until
// the Data holds a copy of its own, and the lease goes with the Data. A file that another process
// has open for writing is read instead. Paths join with one slash.
TEST(FileIO, WholeReadsNeverWaitAndKeepTheirBytesWhenAWriterComes) {
  TempDir dir;
  const std::string path = std::filesystem::canonical(dir.path()).string() + "/big";
  // Three large pieces and a bit, in a pattern whose period is prime: no two pages alike.
  std::string bytes(Data::LargeBytes * 3 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeFile(path, bytes);
  ASSERT_EQ(symlink("big", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // A call that waits ends the test: a read waiting for a FIFO's writer, or a writer waiting out
  // a lease left held (the kernel's lease-break time is 45 s).
  alarm(20);
  for (const char* name : {"fifo", "missing", "."})
    EXPECT_FALSE(dataWithContentsOfFile(dir.file(name))) << name;
  const int writing = open(path.c_str(), O_WRONLY);
  const auto read = dataWithContentsOfFile(dir.file("link"));
  close(writing);
  EXPECT_EQ(mappingAt(read.value().bytes()), "");
  EXPECT_EQ(text(*read), bytes);
  {
    const auto data = dataWithContentsOfFile(path);
    ASSERT_EQ(mappingAt(data.value().bytes()), path);
    EXPECT_EQ(truncate(path.c_str(), 10), 0);
    EXPECT_EQ(mappingAt(data->bytes()), "");
    EXPECT_EQ(text(*data), bytes);
  }
  writeFile(path, bytes);
  ASSERT_EQ(mappingAt(dataWithContentsOfFile(path)->bytes()), path);
  writeFile(path, "after");  // rewritten in place, with no lease left to wait out
  alarm(0);
  EXPECT_EQ(stringByAppendingPathComponent("/tmp//shots//", "a.png"), "/tmp/shots/a.png");
  EXPECT_EQ(stringByAppendingPathComponent("relative/", "a/"), "relative/a");
}

// Registration is not stored. A value written by another process, atomically or in place with
// the same size, is seen by the next read. A damaged file is moved aside, and a second one does
// not overwrite the first set aside; names that cannot name a file are refused. Every
// read-change-write of a domain holds its lock between processes, and a lock held around the
// store's own writes stays held through them.
TEST(UserDefaults, XmlPlistsReadAgainWhenChangedDamagedOnesMovedAsideAndProcessesKeepAllKeys) {
  TempHome home;
  NSUserDefaults defaults("com.example.agent");
  const std::string path = home.configHome() + "/kapsho/Preferences/com.example.agent.plist";
  defaults.registerDefaults({{"Show Status Item", true}});
  EXPECT_FALSE(std::filesystem::exists(path));
  defaults.setBool(false, "Show Status Item");
  defaults.setObject("kept", "Other");
  EXPECT_FALSE(defaults.boolForKey("Show Status Item"));
  EXPECT_NE(readFile(path).value_or("").find("<plist"), std::string::npos);
  defaults.removeObjectForKey("Show Status Item");
  EXPECT_TRUE(defaults.boolForKey("Show Status Item"));
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.agent"),
            (Dictionary{{"Other", "kept"}}));

  ASSERT_TRUE(writeFileAtomically(path, xmlPropertyList(Dictionary{{"k", "later"}})));
  EXPECT_EQ(defaults.stringForKey("k"), "later");
  // Whole seconds later: only the seconds tell the change.
  const auto written = std::filesystem::last_write_time(path);
  writeFile(path, xmlPropertyList(Dictionary{{"k", "third"}}));
  std::filesystem::last_write_time(path, written + seconds(5));
  EXPECT_EQ(defaults.stringForKey("k"), "third");

  writeFile(path, "<plist><dict><key>a</key>");
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.agent"));
  writeFile(path, xmlPropertyList(Array{}));  // parses, but is no dictionary
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.agent"));
  EXPECT_EQ(readFile(path + ".corrupt"), "<plist><dict><key>a</key>");
  EXPECT_EQ(readFile(path + ".corrupt.1"), xmlPropertyList(Array{}));
  // {"ä\0x": "v"} in the binary form: reading its UTF-16 key would end the process in libplist.
  const std::string keyHoldingNul(
      "bplist00\xd1\x01\x02\x63\0\xe4\0\0\0xQv\x08\x0b\x12\0\0\0\0\0\0\1\1\0\0\0\0\0\0\0\3"
      "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14",
      55);
  writeFile(path, keyHoldingNul);
  EXPECT_FALSE(NSUserDefaults::persistentDomainForName("com.example.agent"));
  EXPECT_EQ(readFile(path + ".corrupt.2"), keyHoldingNul);
  for (const char* name : {"", "../escape", "a/b", ".hidden"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(NSUserDefaults::setPersistentDomain({{"a", 1}}, name));
  }

  // Writes that fail (here the domain's file is a folder) keep their values for this process,
  // with a line each; the next write that succeeds stores them with its own.
  {
    StderrCapture log;
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    defaults.setBool(false, "Show Status Item");
    defaults.setObject("kept", "Other");
    EXPECT_EQ(std::tuple(defaults.boolForKey("Show Status Item"), defaults.stringForKey("Other")),
              std::tuple(false, "kept"));
    const std::string lines = log.text();
    const std::string last =
        "] Cannot store \"Other\" in preferences domain com.example.agent "
        "(cannot rename into " +
        path +
        ": Is a directory); this process "
        "keeps it until a later write stores it\n";
    EXPECT_EQ(lines.find(last), lines.size() - last.size()) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    std::filesystem::remove(path);
    defaults.removeObjectForKey("Other");
    EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.agent"),
              (Dictionary{{"Show Status Item", false}}));
    ASSERT_TRUE(NSUserDefaults::setPersistentDomain({}, "com.example.agent"));
    EXPECT_TRUE(defaults.boolForKey("Show Status Item")) << "stored, it is kept no longer";
  }

  for (int i = 0; i < 10; ++i)
    if (fork() == 0) {
      NSUserDefaults("com.example.shared").setObject(i, "key" + std::to_string(i));
      _exit(0);
    }
  for (int i = 0; i < 10; ++i) ASSERT_GT(wait(nullptr), 0);
  EXPECT_EQ(NSUserDefaults::persistentDomainForName("com.example.shared").value().size(), 10u);

  const PreferencesDomainLock lock("com.example.shared");
  EXPECT_TRUE(NSUserDefaults::setPersistentDomain({{"a", 1}}, "com.example.shared"));
  const pid_t other = fork();
  if (other == 0)
    _exit(FileLock(*NSUserDefaults::pathForDomain("com.example.shared") + ".lock",
                   std::chrono::milliseconds(100))
              .held());
  int status = -1;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process took the lock meanwhile";
}

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
  const std::string holdingNul("http://host/a\0b", 15);
  for (const std::string& bad :
       {std::string("http://host/with space"), std::string("http://host/bad%zz"), holdingNul,
        std::string("http://host/\xc3\xa9"), std::string("http://host/a#b#c")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(NSURL::URLWithString(bad));
  }
  // Relative text is resolved as RFC 3986 says, whether the base has a path or none.
  for (const auto& [base, text, absolute] :
       {std::tuple("http://h:80", "a.png", "http://h:80/a.png"),
        std::tuple("http://h/x/y", "a.png", "http://h/x/a.png"),
        std::tuple("http://h/x/y", "/a.png", "http://h/a.png"),
        std::tuple("http://h/x/y", "../a.png", "http://h/a.png"),
        std::tuple("http://h/x/y", "?q", "http://h/x/y?q"),
        std::tuple("http://h/x/y", "//i/a.png", "http://i/a.png")}) {
    SCOPED_TRACE(std::string(base) + " + " + text);
    EXPECT_EQ(NSURL::URLWithString(text, *NSURL::URLWithString(base))->absoluteString(), absolute);
  }
  EXPECT_FALSE(NSURL::URLWithString("//h:port/a.png", *NSURL::URLWithString("http://h/")))
      << "a reference that names no URL once resolved (a port of letters) is taken";
  // User information, host and port as they lie in the text, an IPv6 literal's colons its own.
  for (const auto& [address, parts] :
       {std::pair("https://u:p@[::1]:8443/x", "u:p@ [::1] :8443"),
        std::pair("http://a@b@h?q:1", "a@b@ h "), std::pair("s3://bucket", " bucket ")}) {
    SCOPED_TRACE(address);
    const std::string_view text(address);
    const auto span = authoritySpanOf(text);
    ASSERT_TRUE(span);
    EXPECT_EQ(std::string(text.substr(span->start, span->hostStart - span->start)) + " " +
                  std::string(text.substr(span->hostStart, span->hostEnd - span->hostStart)) + " " +
                  std::string(text.substr(span->hostEnd, span->end - span->hostEnd)),
              parts);
  }
  EXPECT_FALSE(authoritySpanOf("mailto:me@host"));
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

// Property lists in XML or binary form. In strings tables, the later of two entries wins and a
// key alone stands for itself; UTF-16 comes with either byte order, UTF-8 with or without a
// byte-order mark. A table that does not end as it should is an error that names its line, never
// a partial read.
TEST(PropertyList, XmlOrBinaryPlistsAndStringsTablesAndDamagedInputIsAnError) {
  const Value original(Dictionary{
      {"string", "Grüße \"quoted\" <tag> & more"},
      {"large", -(std::int64_t{1} << 40)},
      {"yes", true},
      {"date", Date(seconds(1205532566))},
      {"data", Data{0, 1, 2, 255}},
      {"list", Array{Dictionary{{"url", "http://h/i/a.png"}}, "x"}},
  });
  const std::string xml = xmlPropertyList(original);
  EXPECT_EQ(propertyListFromBytes(xml), original);
  EXPECT_NE(xml.find("<date>2008-03-14T22:09:26Z</date>"), std::string::npos) << xml;
  EXPECT_FALSE(propertyListFromBytes(xml.substr(0, xml.size() / 2)));
  // libplist holds 32-bit seconds from 2001: dates beyond are written as its first and last.
  for (const auto& [since1970, written] :
       {std::pair{-2500000000LL, "<date>1932-12-13T20:45:52Z</date>"},
        std::pair{5000000000LL, "<date>2069-01-19T03:14:07Z</date>"}})
    EXPECT_NE(xmlPropertyList(Value(Date(seconds(since1970)))).find(written), std::string::npos)
        << since1970;
  // 3.5 s before 2001 in the binary form: read as that, written as the second it lies in.
  const std::string before2001(
      "bplist00\x33\xc0\x0c\0\0\0\0\0\0\x08\0\0\0\0\0\0\1\1\0\0\0\0\0\0\0\1"
      "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x11",
      50);
  const auto read = propertyListFromBytes(before2001);
  ASSERT_TRUE(read && read->date());
  using std::chrono::milliseconds;
  EXPECT_EQ(duration_cast<milliseconds>(read->date()->time_since_epoch()).count(), 978307196500)
      << "ms since 1970";
  EXPECT_NE(xmlPropertyList(*read).find("<date>2000-12-31T23:59:56Z</date>"), std::string::npos)
      << xmlPropertyList(*read);

  // {"Picture": "Bild"} in the binary form.
  TempDir dir;
  writeFile(
      dir.file("t.strings"),
      std::string("bplist00\xd1\x01\x02WPictureTBild\x08\x0b\x13\0\0\0\0\0\0\1\1\0\0\0\0\0\0\0\3"
                  "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x18",
                  59));
  EXPECT_EQ(dictionaryWithContentsOfFile(dir.file("t.strings")), (Dictionary{{"Picture", "Bild"}}));

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
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(stringsTableFromText(text, &error));
    EXPECT_NE(error.find("line"), std::string::npos) << error;
  }
  // Text that is no well-formed UTF-8 or UTF-16 is refused whole, overlong forms included.
  for (const auto& [bytes, what] : std::vector<std::pair<std::string, std::string>>{
           {"\"a\" = \"\xC3\x28\";", "a lead byte without its continuation"},
           {"\"a\" = \"\xC1\xA1\";", "'a' overlong in two bytes"},
           {"\"a\" = \"\xE0\x81\xA1\";", "'a' overlong in three bytes"},
           {"\"a\" = \"\xF0\x80\x81\xA1\";", "'a' overlong in four bytes"},
           {"\"a\" = \"\xED\xA0\x80\";", "a surrogate in UTF-8"},
           {"\"a\" = \"\xF4\x90\x80\x80\";", "past U+10FFFF"},
           {std::string("\xFF\xFE\"\0a\0\"\0\x00\xDC", 10), "a lone low surrogate in UTF-16"},
           {std::string("\xFE\xFF\0\"\0a\0\"\xD8\x00", 10), "a high surrogate at the end"},
           {"\xFF\xFE\x22", "odd-length UTF-16"}}) {
    SCOPED_TRACE(what);
    std::string error;
    EXPECT_FALSE(stringsTableFromText(bytes, &error));
    EXPECT_NE(error.find(bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")
                             ? "UTF-16"
                             : "neither UTF-8 nor UTF-16"),
              std::string::npos)
        << error;
  }
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
    SCOPED_TRACE(report);
    try {
      raise();
      ADD_FAILURE() << "nothing was raised";
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

// Written in the local zone, across daylight saving, without fractions of a second; read back
// from any offset. A formatter takes the time locale from LC_ALL over LC_TIME over LANG.
TEST(Date, DescribedInTheLocalZoneReadBackFromAnyOffsetAndFormattedInTheUsersLocale) {
  const std::tuple<std::string, Date, std::string> cases[] = {
      {"Asia/Kolkata", Date(seconds(951862166)), "2000-03-01 03:39:26 +0530"},
      {"America/Los_Angeles", Date(seconds(1199520007)), "2008-01-05 00:00:07 -0800"},
      {"America/Los_Angeles", Date(seconds(1205532566)), "2008-03-14 15:09:26 -0700"},
  };
  for (const auto& [zone, date, text] : cases) {
    SCOPED_TRACE(text);
    ScopedZone local(zone);
    EXPECT_EQ(NSDate(date + std::chrono::milliseconds(999)).description(), text);
    EXPECT_EQ(NSDate::dateWithString(text).value().timePoint(), date);
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
  EXPECT_EQ(formatter.stringFromDate(NSDate(Date(seconds(1222963500)))), "oct. 2, 9:05:00 AM");
  ScopedEnv british("LC_ALL", "en_GB.UTF-8");
  ScopedZone tokyo("Asia/Tokyo");
  EXPECT_EQ(formatter.stringFromDate(NSDate(Date(seconds(1222963500)))), "Oct 3, 1:05:00 am");
}

}  // namespace
