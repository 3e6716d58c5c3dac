#include "tools/kapsho-upload-server/Clients.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

namespace upload_server {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The pieces of a list separated by `separator` outside quoted strings.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == '\\' && quoted) ++i;
    if (!quoted && i < text.size() && text[i] == separator) {
      pieces.push_back(trimmed(text.substr(start, i - start)));
      start = i + 1;
    }
  }
  pieces.push_back(trimmed(text.substr(std::min(start, text.size()))));
  return pieces;
}

std::string unquoted(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
  std::string text;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) ++i;
    text += value[i];
  }
  return text;
}

// The address of a node as Forwarded writes it ("192.0.2.1:80", "[2001:db8::1]:80"), or "".
std::string nodeAddress(const std::string& node) {
  std::string address = node;
  if (address.starts_with('[')) {
    address = address.substr(1, address.find(']') - 1);
  } else if (std::count(address.begin(), address.end(), ':') == 1) {
    address = address.substr(0, address.find(':'));
  }
  return isAddress(address) ? address : "";
}

// A host as a Host field may name it: letters, digits and the punctuation of names, addresses
// and ports; anything else could forge the addresses handed out.
bool isHost(std::string_view host) {
  return !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
    // Not strchr: it finds a NUL byte too, as the string's end.
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view(".-:[]_").find(c) != std::string_view::npos;
  });
}

std::string scheme(std::string_view proto) {
  if (strncasecmp(proto.data(), "https", proto.size()) == 0 && proto.size() == 5) return "https";
  if (strncasecmp(proto.data(), "http", proto.size()) == 0 && proto.size() == 4) return "http";
  return {};
}

std::optional<in6_addr> asIPv6(const std::string& address) {
  in6_addr bytes{};
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    bytes.s6_addr[10] = bytes.s6_addr[11] = 0xff;
    std::memcpy(bytes.s6_addr + 12, &v4, 4);
    return bytes;
  }
  if (inet_pton(AF_INET6, address.c_str(), &bytes) == 1) return bytes;
  return std::nullopt;
}

}  // namespace

std::string clientKey(const std::string& address) {
  const auto bytes = asIPv6(address);
  if (!bytes) return "?" + address;
  const auto* text = reinterpret_cast<const char*>(bytes->s6_addr);
  if (IN6_IS_ADDR_V4MAPPED(&*bytes)) return "4" + std::string(text + 12, 4);
  return "6" + std::string(text, 8);
}

bool isAddress(const std::string& text) {
  return asIPv6(text).has_value();
}

bool TrustedProxies::add(const std::string& range) {
  const auto slash = range.find('/');
  const std::string address = range.substr(0, slash);
  const auto network = asIPv6(address);
  const bool v4 = address.find(':') == std::string::npos;
  int bits = v4 ? 32 : 128;
  if (slash != std::string::npos) {
    const char* end = range.data() + range.size();
    const auto [last, error] = std::from_chars(range.data() + slash + 1, end, bits);
    if (error != std::errc() || last != end || slash + 1 == range.size()) return false;
  }
  if (!network || bits < 0 || bits > (v4 ? 32 : 128)) return false;
  ranges_.push_back({*network, v4 ? bits + 96 : bits});
  return true;
}

bool TrustedProxies::trusts(const std::string& address) const {
  const auto bytes = asIPv6(address);
  return bytes && std::any_of(ranges_.begin(), ranges_.end(), [&](const Range& range) {
           for (int bit = 0; bit < range.bits; ++bit) {
             const int mask = 0x80 >> (bit % 8);
             if ((bytes->s6_addr[bit / 8] & mask) != (range.network.s6_addr[bit / 8] & mask))
               return false;
           }
           return true;
         });
}

Origin TrustedProxies::originOf(const std::string& peer, const ForwardedFields& fields) const {
  Origin origin{peer, "", ""};
  if (!trusts(peer)) return origin;
  origin.host = isHost(fields.host) ? fields.host : "";
  if (!fields.forwarded.empty()) {
    // The nearest hop first: each trusted proxy vouches for the one before it.
    const auto hops = split(fields.forwarded, ',');
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
      std::string client, proto, host;
      for (const auto pair : split(*hop, ';')) {
        const auto equals = pair.find('=');
        if (equals == std::string_view::npos) continue;
        const auto name = trimmed(pair.substr(0, equals));
        const std::string value = unquoted(trimmed(pair.substr(equals + 1)));
        if (strncasecmp(name.data(), "for", name.size()) == 0 && name.size() == 3)
          client = nodeAddress(value);
        if (strncasecmp(name.data(), "proto", name.size()) == 0 && name.size() == 5)
          proto = scheme(value);
        if (strncasecmp(name.data(), "host", name.size()) == 0 && name.size() == 4 && isHost(value))
          host = value;
      }
      if (client.empty()) break;
      origin = {client, proto, host.empty() ? origin.host : host};
      if (!trusts(client)) break;
    }
    return origin;
  }
  const auto hops = split(fields.forwardedFor, ',');
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    const std::string client = nodeAddress(std::string(*hop));
    if (client.empty()) break;
    origin.client = client;
    if (!trusts(client)) break;
  }
  origin.scheme = scheme(trimmed(split(fields.forwardedProto, ',').front()));
  return origin;
}

}  // namespace upload_server
