#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <string_view>

#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

using namespace platform;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

Dictionary sample() {
  return Dictionary{
      {"string", Value("Grüße \"quoted\" <tag> & more")},
      {"negative", Value(std::int64_t{-1700})},
      {"large", Value(std::int64_t{1} << 40)},
      {"real", Value(2.5)},
      {"yes", Value(true)},
      {"no", Value(false)},
      {"date", Value(Date(std::chrono::seconds(1205532566)))},
      {"data", Value(Data{0, 1, 2, 255})},
      {"list", Value(Array{Value(Dictionary{{"url", Value("http://h/i/a.png")}}), Value("x")})},
      {"empty", Value(Dictionary{})},
  };
}

TEST(PropertyList, XmlRoundTripBinaryReadAndDamagedInputIsAnError) {
  const Value original(sample());
  const std::string xml = xmlPropertyList(original);
  EXPECT_EQ(propertyListFromBytes(xml), original);

  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "Picture", plist_new_string("Bild"));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bin, &length);
  TempDir dir;
  writeFile(dir.file("t.strings"), std::string(bin, length));
  plist_to_bin_free(bin);
  plist_free(dict);
  EXPECT_EQ(dictionaryWithContentsOfFile(dir.file("t.strings")),
            (Dictionary{{"Picture", Value("Bild")}}));

  std::string error;
  EXPECT_FALSE(propertyListFromBytes(xml.substr(0, xml.size() / 2), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(propertyListFromBytes("", &error));
  EXPECT_FALSE(propertyListFromBytes("bplist00\x01\x02garbage", &error));
  writeFile(dir.file("array.plist"), xmlPropertyList(Value(Array{Value("a")})));
  EXPECT_FALSE(dictionaryWithContentsOfFile(dir.file("array.plist"), &error));
  EXPECT_FALSE(dictionaryWithContentsOfFile(dir.file("missing.plist"), &error));
}

TEST(StringsTable, ClassicTextFormWithCommentsEscapesAndBareWords) {
  const std::string text =
      "/* Name format of a screen shot: picture word, then counter. */\n"
      "\"%@ %@\" = \"%@ %@\";\n"
      "// a line comment\n"
      "\"Picture\"=\"Bild\" ;\n"
      "\"escaped\" = \"tab\\there\\nquote\\\" back\\\\ \\U00e9\\u00E8 \\101 \\UD83D\\UDE00\";\n"
      "bare_word = value.with/slashes;\n"
      "\"same\";\n"
      "\"Picture\" = \"Bildschirmfoto\";\n";
  std::string error;
  auto table = stringsTableFromText(text, &error);
  ASSERT_TRUE(table) << error;
  EXPECT_EQ(*table->at("%@ %@").string(), "%@ %@");
  EXPECT_EQ(*table->at("Picture").string(), "Bildschirmfoto");  // the later entry wins
  EXPECT_EQ(*table->at("escaped").string(), "tab\there\nquote\" back\\ éè A 😀");
  EXPECT_EQ(*table->at("bare_word").string(), "value.with/slashes");
  EXPECT_EQ(*table->at("same").string(), "same");
  EXPECT_EQ(table->size(), 5u);
  EXPECT_EQ(stringsTableFromText("  /* nothing */ \n"), Dictionary{});
  EXPECT_EQ(stringsTableFromText("{ \"a\" = \"b\"; }\n"), (Dictionary{{"a", Value("b")}}));
}

std::string utf16(const std::u16string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

TEST(StringsTable, Utf16WithEitherByteOrderAndUtf8WithBom) {
  const std::u16string text = u"\"Picture\" = \"Képernyőkép\"; /* 😀 */ \"k\" = \"日本\";";
  for (bool bigEndian : {false, true}) {
    auto table = stringsTableFromText(utf16(text, bigEndian));
    ASSERT_TRUE(table);
    EXPECT_EQ(*table->at("Picture").string(), "Képernyőkép");
    EXPECT_EQ(*table->at("k").string(), "日本");
  }
  auto bom = stringsTableFromText("\xEF\xBB\xBF\"a\" = \"b\";");
  ASSERT_TRUE(bom);
  EXPECT_EQ(*bom->at("a").string(), "b");
}

TEST(StringsTable, MalformedTablesAreErrorsNeverPartialReads) {
  const char* bad[] = {
      "\"a\" = \"b\";\n\"c\" = \"d\"",            // last entry without ';'
      "\"a\" = \"b\";\n\"c\" = \"unterminated;",  // string never closed
      "\"a\" = \"b\"; /* comment never closed",
      "\"a\" = ;",
      "\"a\" \"b\";",
      "= \"b\";",
      "\"a\" = \"\\UD800\";",  // lone surrogate
      "\"a\" = \"\\U12\";",
      "\"a\" = \"b\"; }",
      "{ \"a\" = \"b\";",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(stringsTableFromText(text, &error)) << text;
    EXPECT_NE(error.find("line"), std::string::npos) << text << " -> " << error;
  }
  std::string error;
  EXPECT_FALSE(stringsTableFromText("\"a\" = \"\xC3\x28\";", &error));  // invalid UTF-8
  EXPECT_FALSE(stringsTableFromText("\xFF\xFE\x22", &error));           // odd-length UTF-16
  EXPECT_FALSE(stringsTableFromText(utf16(u"\"a\"=\"\xD800\";", false), &error));
}

TEST(StringsTable, RandomBytesNeverCrashTheParser) {
  static constexpr std::string_view alphabet = "\"=;/*\\U0a\n {}";
  std::srand(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(static_cast<size_t>(std::rand() % 64), '\0');
    for (char& c : bytes) c = alphabet[static_cast<size_t>(std::rand()) % alphabet.size()];
    std::string error;
    auto table = stringsTableFromText(bytes, &error);
    EXPECT_TRUE(table.has_value() || !error.empty());
  }
}

}  // namespace
