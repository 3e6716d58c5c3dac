// The address an upload server answers with in its redirect's Location field, as the agent takes
// it: made a URL on its own (recorded and copied as the server sent it), and later opened against
// the upload endpoint. The input's first byte chooses the endpoint; the rest is the field's value.
// Invariants: an address is taken only as the very text sent, and only if it is well formed (no
// blanks, control bytes or non-ASCII in it); one without a scheme, opened against the endpoint,
// keeps the endpoint's scheme and host (a network-path reference its scheme), so that a server
// cannot make it name a local file.
#include <algorithm>
#include <cctype>

#include "platform/foundation/URL.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;
using platform::NSURL;

namespace {

const char* const kEndpoints[] = {"http://127.0.0.1:8451/upload", "https://up.example/",
                                  "https://up.example/a/b?x=1", "http://[::1]:80"};

bool printable(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f;
}

// The scheme and authority ("https://up.example") of an absolute address.
std::string origin(const std::string& address) {
  const size_t authority = address.find("://") + 3;
  return address.substr(0, std::min(address.find('/', authority), address.size()));
}

bool hasScheme(const std::string& text) {
  const size_t colon = text.find(':');
  return colon != std::string::npos && colon > 0 &&
         std::isalpha(static_cast<unsigned char>(text[0])) &&
         std::all_of(text.begin(), text.begin() + colon, [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
         });
}

}  // namespace

FUZZ_TARGET_CHOOSING(choice, input) {
  const auto endpoint = NSURL::URLWithString(kEndpoints[choice % std::size(kEndpoints)]);
  FUZZ_REQUIRE(endpoint, "an endpoint is no URL");
  const std::string location(input);
  const auto url = NSURL::URLWithString(location);
  if (!url) return;
  FUZZ_REQUIRE(url->absoluteString() == location,
               "the address " + shown(location) + " is taken as " + shown(url->absoluteString()));
  FUZZ_REQUIRE(std::all_of(location.begin(), location.end(), printable),
               "an address holding blanks or control bytes is taken: " + shown(location));
  url->path();

  // What names no URL once resolved is refused, and not opened.
  const auto opened = NSURL::URLWithString(url->absoluteString(), *endpoint);
  if (!opened) return;
  const std::string address = opened->absoluteString();
  FUZZ_REQUIRE(!address.empty(), "the address " + shown(location) + " resolves to nothing");
  // A network-path reference ("//host/...") names its own host, but keeps the scheme.
  const std::string kept =
      location.starts_with("//") ? endpoint->scheme() + "://" : origin(endpoint->absoluteString());
  if (!hasScheme(location))
    FUZZ_REQUIRE(address.starts_with(kept) && !opened->isFileURL(),
                 "the relative address " + shown(location) + " opens as " + shown(address));
  opened->path();
}
