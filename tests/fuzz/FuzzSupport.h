// What the fuzz targets share: the entry point, a broken invariant stopping the run with one line
// naming it (libFuzzer then keeps the input that broke it), the pieces an input is cut into, and a
// scratch folder in memory for the readers that take a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A target's body, given the input as text. FUZZ_TARGET_CHOOSING gives a non-empty input's first
// byte apart, as the choice among the target's cases, and skips empty inputs.
#define FUZZ_TARGET(input)                                                            \
  static void fuzzOne(std::string_view input);                                        \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    fuzzOne({reinterpret_cast<const char*>(data), size});                             \
    return 0;                                                                         \
  }                                                                                   \
  static void fuzzOne(std::string_view input)

#define FUZZ_TARGET_CHOOSING(choice, input)                                              \
  static void fuzzOne(unsigned choice, std::string_view input);                          \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {    \
    if (size > 0) fuzzOne(data[0], {reinterpret_cast<const char*>(data + 1), size - 1}); \
    return 0;                                                                            \
  }                                                                                      \
  static void fuzzOne(unsigned choice, std::string_view input)

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

// The bytes written to a file of the scratch folder, which only the owner may read; its path.
inline std::string scratchFile(const std::string& name, std::string_view bytes) {
  const std::string path = (scratchFolder() / name).string();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  if (fd >= 0) close(fd);
  if (!written) broken("cannot write " + path);
  return path;
}

// A read gives a value or the reason there is none, never both.
template <typename Value>
void requireValueOrReason(const std::optional<Value>& value, const std::string& reason) {
  FUZZ_REQUIRE(value.has_value() == reason.empty(), std::string("a read gave ") +
                                                        (value ? "a value" : "no value") +
                                                        " and the reason '" + reason + "'");
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
