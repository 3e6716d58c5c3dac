// Who a client is: the budget its address counts against, and, for a request that came through
// a trusted reverse proxy, the client the proxy names and the origin that client asked for.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace upload_server {

// What limits count against: an IPv4 address (also one written as a mapped IPv6 address), or the
// /64 of an IPv6 address (what one subscriber is given), as bytes; other text as it stands.
std::string clientKey(const std::string& address);

// Whether the text is a numeric IPv4 or IPv6 address.
bool isAddress(const std::string& text);

// What a request says of itself through proxies, as its header fields give it.
struct ForwardedFields {
  std::string forwarded;       // every Forwarded field, joined by ", "
  std::string forwardedFor;    // every X-Forwarded-For field, joined by ", "
  std::string forwardedProto;  // X-Forwarded-Proto
  std::string host;            // Host
};

// The client behind the proxies, and the scheme and host it asked for ("" when not told).
struct Origin {
  std::string client;
  std::string scheme;
  std::string host;
};

class TrustedProxies {
 public:
  // Adds "ADDR" or "ADDR/BITS"; false when it is neither.
  bool add(const std::string& range);
  bool empty() const { return ranges_.empty(); }
  bool trusts(const std::string& address) const;

  // From a trusted peer: the client is the nearest address in Forwarded's for= (or, without
  // Forwarded, in X-Forwarded-For) that is not itself a trusted proxy, and the scheme and host
  // are those it asked for (Forwarded's proto= and host=, or X-Forwarded-Proto and Host). From
  // any other peer the fields are ignored: the peer is the client.
  Origin originOf(const std::string& peer, const ForwardedFields& fields) const;

 private:
  struct Range {
    in6_addr network;
    int bits;
  };
  std::vector<Range> ranges_;
};

}  // namespace upload_server
