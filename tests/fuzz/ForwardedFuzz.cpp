// What a request says of its client through proxies (Forwarded, X-Forwarded-For,
// X-Forwarded-Proto, Host), as the upload service reads it for its log, its per-client limits and
// the addresses it hands out. The input's first byte chooses the peer the request came from; its
// lines are the four fields.
// Invariants: only a trusted peer's fields count; the client is an address, which limits count
// against as IPv4 or as an IPv6 /64; the scheme is http, https or none; the host is one that cannot
// forge an address handed out (no '/', '@', '?', '#', blanks or control bytes).
#include <algorithm>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/kapsho-upload-server/Clients.h"

using fuzz_support::shown;
using namespace upload_server;

namespace {

// Trusted: loopback, 10.0.0.0/8, 2001:db8::/32. The others are any client of the internet.
const char* const kPeers[] = {"127.0.0.1",   "10.1.2.3",       "::1", "2001:db8::7", "192.0.2.9",
                              "2001:db9::1", "::ffff:10.0.0.5"};

const TrustedProxies& proxies() {
  static const TrustedProxies trusted = [] {
    TrustedProxies ranges;
    for (const char* range : {"127.0.0.0/8", "10.0.0.0/8", "::1", "2001:db8::/32"})
      if (!ranges.add(range)) fuzz_support::broken(std::string("cannot trust ") + range);
    return ranges;
  }();
  return trusted;
}

bool isHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
         c == '[' || c == ']' || c == '_';
}

}  // namespace

FUZZ_TARGET_CHOOSING(choice, input) {
  const std::string peer = kPeers[choice % std::size(kPeers)];
  const auto lines = fuzz_support::split(input, '\n');
  const auto line = [&](std::size_t n) {
    return n < lines.size() ? std::string(lines[n]) : std::string();
  };
  const ForwardedFields fields{line(0), line(1), line(2), line(3)};
  const Origin origin = proxies().originOf(peer, fields);

  if (!proxies().trusts(peer))
    FUZZ_REQUIRE(origin.client == peer && origin.scheme.empty() && origin.host.empty(),
                 "the fields of an untrusted peer were believed");
  FUZZ_REQUIRE(isAddress(origin.client), "the client is no address: " + shown(origin.client));
  const std::string key = clientKey(origin.client);
  FUZZ_REQUIRE((key.size() == 5 && key[0] == '4') || (key.size() == 9 && key[0] == '6'),
               "the client " + shown(origin.client) + " counts as " + shown(key));
  FUZZ_REQUIRE(origin.scheme.empty() || origin.scheme == "http" || origin.scheme == "https",
               "the scheme asked for is " + shown(origin.scheme));
  FUZZ_REQUIRE(origin.host.size() <= 255 &&
                   std::all_of(origin.host.begin(), origin.host.end(), isHostCharacter),
               "the host asked for is " + shown(origin.host));
}
