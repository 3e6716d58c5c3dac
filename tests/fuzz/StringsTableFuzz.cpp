// A localization's strings table as a bundle reads it from its file: a binary or XML property list,
// else the classic text form ("key" = "value"; UTF-8 or UTF-16 with a byte-order mark). Any bytes
// give a table or the reason there is none, never both; and a table read from the classic form
// (no property list) written back in it reads back the same.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/foundation/PropertyList.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;

namespace {

// The input as a file, in memory: the reader takes a path.
const std::string& inputFile(int* fd) {
  static const int file = memfd_create("strings-table", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(file);
  *fd = file;
  return path;
}

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = -1;
  const std::string& path = inputFile(&fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    fuzz_support::broken("cannot write the input to its file");
  std::string error;
  const auto table = platform::dictionaryWithContentsOfFile(path, &error);
  FUZZ_REQUIRE(table.has_value() == error.empty(), "a read gave " +
                                                       std::string(table ? "a table" : "no table") +
                                                       " and the error '" + error + "'");
  const std::string_view text = fuzz_support::textOf(data, size);
  const std::size_t start = text.find_first_not_of(" \t\r\n\xef\xbb\xbf");
  if (!table || text.starts_with("bplist") || (start < text.size() && text[start] == '<')) return 0;
  const std::string written = classicText(*table);
  std::string again;
  const auto reread = platform::stringsTableFromText(written, &again);
  FUZZ_REQUIRE(reread.has_value(), "a table written back in the classic form cannot be read (" +
                                       again + "): " + shown(written));
  FUZZ_REQUIRE(*reread == *table,
               "a table written back in the classic form reads otherwise: " + shown(written));
  return 0;
}
