// What the fuzz targets share: a broken invariant stops the run with one line naming it (libFuzzer
// then keeps the input that broke it), the pieces an input is cut into, and a scratch folder in
// memory for the readers that take a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The message is only built when the invariant is broken.
#define FUZZ_REQUIRE(holds, what)               \
  do {                                          \
    if (!(holds)) ::fuzz_support::broken(what); \
  } while (false)

namespace fuzz_support {

[[noreturn]] inline void broken(const std::string& what) {
  std::fprintf(stderr, "\nINVARIANT BROKEN: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each separator; the last piece runs to the end.
inline std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t from = 0;;) {
    const std::size_t at = text.find(separator, from);
    pieces.push_back(text.substr(from, at == std::string_view::npos ? at : at - from));
    if (at == std::string_view::npos) return pieces;
    from = at + 1;
  }
}

// A folder of this process's own, on a memory file system where there is one, removed at exit.
inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern =
        (std::filesystem::is_directory("/dev/shm") ? std::string("/dev/shm") : "/tmp") +
        "/kapsho-fuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) broken("cannot make a scratch folder in " + pattern);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchFolder(), ignored);
    });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

// Text for a message: control bytes and non-ASCII written as \xNN, at most a few hundred bytes.
inline std::string shown(std::string_view bytes) {
  std::string text;
  for (const char c : bytes.substr(0, 300)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return bytes.size() > 300 ? text + "..." : text;
}

}  // namespace fuzz_support
