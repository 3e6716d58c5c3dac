#include <gtest/gtest.h>

#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(PropertyList, XmlRoundTripBinaryReadAndDamagedInputIsAnError) {
  const Value original(Dictionary{
      {"string", Value("Grüße \"quoted\" <tag> & more")},
      {"large", Value(-(std::int64_t{1} << 40))},
      {"real", Value(2.5)},
      {"yes", Value(true)},
      {"no", Value(false)},
      {"date", Value(Date(std::chrono::seconds(1205532566)))},
      {"data", Value(Data{0, 1, 2, 255})},
      {"list", Value(Array{Value(Dictionary{{"url", Value("http://h/i/a.png")}}), Value("x")})},
  });
  const std::string xml = xmlPropertyList(original);
  EXPECT_EQ(propertyListFromBytes(xml), original);
  EXPECT_NE(xml.find("<date>2008-03-14T22:09:26Z</date>"), std::string::npos) << xml;
  EXPECT_FALSE(propertyListFromBytes(xml.substr(0, xml.size() / 2)));
  EXPECT_FALSE(propertyListFromBytes("bplist00\x01\x02garbage"));

  // {"Picture": "Bild"} in the binary form.
  TempDir dir;
  writeFile(
      dir.file("t.strings"),
      std::string("bplist00\xd1\x01\x02WPictureTBild\x08\x0b\x13\0\0\0\0\0\0\1\1\0\0\0\0\0\0\0\3"
                  "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x18",
                  59));
  EXPECT_EQ(dictionaryWithContentsOfFile(dir.file("t.strings")),
            (Dictionary{{"Picture", Value("Bild")}}));
  writeFile(dir.file("array.plist"), xmlPropertyList(Value(Array{Value("a")})));
  EXPECT_FALSE(dictionaryWithContentsOfFile(dir.file("array.plist")));
}

std::string utf16(const std::u16string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text)
    out += bigEndian ? std::string{char(u >> 8), char(u)} : std::string{char(u), char(u >> 8)};
  return out;
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
  std::string error;
  EXPECT_EQ(stringsTableFromText(text, &error),
            (Dictionary{{"Picture", Value("Bildschirmfoto")},
                        {"escaped", Value("tab\there\nquote\" back\\ éè A 😀")},
                        {"bare_word", Value("value.with/slashes")},
                        {"same", Value("same")}}))
      << error;
  EXPECT_EQ(stringsTableFromText("\xEF\xBB\xBF{ \"a\" = \"b\"; }\n"),
            (Dictionary{{"a", Value("b")}}));
  for (bool bigEndian : {false, true})
    EXPECT_EQ(stringsTableFromText(utf16(u"\"k\"=\"日本\";/* 😀 */", bigEndian)),
              (Dictionary{{"k", Value("日本")}}));
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
