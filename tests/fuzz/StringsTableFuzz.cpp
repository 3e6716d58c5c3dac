// A localization's strings table as a bundle reads it from its file: a binary or XML property list,
// else the classic text form ("key" = "value"; UTF-8 or UTF-16 with a byte-order mark). Any bytes
// give a table or the reason there is none, never both; and a table read from the classic form
// (no property list) written back in it reads back the same.
#include "platform/foundation/PropertyList.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string classicText(const platform::Dictionary& table) {
  std::string text = "/* written back */\n";
  for (const auto& [key, value] : table)
    text += quoted(key) + " = " + quoted(*value.string()) + ";\n";
  return text;
}

}  // namespace

// The reader takes a path: the input is written to a file in memory.
FUZZ_TARGET(text) {
  std::string error;
  const auto table =
      platform::dictionaryWithContentsOfFile(fuzz_support::scratchFile("table", text), &error);
  fuzz_support::requireValueOrReason(table, error);
  const std::size_t start = text.find_first_not_of(" \t\r\n\xef\xbb\xbf");
  if (!table || text.starts_with("bplist") || (start < text.size() && text[start] == '<')) return;
  const std::string written = classicText(*table);
  std::string again;
  const auto reread = platform::stringsTableFromText(written, &again);
  FUZZ_REQUIRE(reread.has_value(), "a table written back in the classic form cannot be read (" +
                                       again + "): " + shown(written));
  FUZZ_REQUIRE(*reread == *table,
               "a table written back in the classic form reads otherwise: " + shown(written));
}
