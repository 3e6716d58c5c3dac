#include "platform/foundation/CurlSupport.h"

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform::curl {

namespace {

// A server whose certificate did not verify, for OpenSSL's reason.
NSError untrusted(long reason) {
  return urlError(NSURLErrorServerCertificateUntrusted,
                  std::string("The certificate for this server is invalid: ") +
                      X509_verify_cert_error_string(reason) + ".");
}

}  // namespace

NSError urlError(NSURLErrorCode code, const std::string& sentence) {
  return NSError("NSURLErrorDomain", code, sentence);
}

NSError badResponse() {
  return urlError(NSURLErrorBadServerResponse, "The server returned a bad response.");
}

NSError timedOut() {
  return urlError(NSURLErrorTimedOut, "The request timed out.");
}

NSError errorFor(CURLcode code, long certificate) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return urlError(NSURLErrorCannotFindHost,
                      "A server with the specified hostname could not be found.");
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return urlError(NSURLErrorCannotConnectToHost, "Could not connect to the server.");
    case CURLE_OPERATION_TIMEDOUT:
      return timedOut();
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return urlError(NSURLErrorNetworkConnectionLost, "The network connection was lost.");
    // Nothing to verify against (SSL_CERT_FILE names no authority): as unverified as a server
    // whose chain fails.
    case CURLE_SSL_CACERT_BADFILE:
      return untrusted(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    // A certificate for another host leaves OpenSSL's result clean.
    case CURLE_PEER_FAILED_VERIFICATION:
      return untrusted(certificate == X509_V_OK ? X509_V_ERR_HOSTNAME_MISMATCH : certificate);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return urlError(NSURLErrorSecureConnectionFailed,
                      "A TLS error caused the secure connection to fail.");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // an answer without a status line
      return badResponse();
    default:
      return urlError(NSURLErrorUnknown, "An unknown error occurred.");
  }
}

void trustAuthoritiesOfEnvironment(CURL* easy) {
  if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file)
    curl_easy_setopt(easy, CURLOPT_CAINFO, file);
  if (const char* folder = std::getenv("SSL_CERT_DIR"); folder && *folder)
    curl_easy_setopt(easy, CURLOPT_CAPATH, folder);
}

size_t BodyReader::read(char* buffer, size_t size, size_t count, void* self) {
  BodyReader& body = *static_cast<BodyReader*>(self);
  size_t written = 0;
  for (const size_t room = size * count; written < room && body.piece < body.pieces.size();) {
    const auto piece = body.pieces[body.piece].subspan(body.offset);
    const size_t n = std::min(room - written, piece.size());
    std::memcpy(buffer + written, piece.data(), n);
    written += n;
    body.offset += n;
    if (body.offset == body.pieces[body.piece].size()) {
      ++body.piece;
      body.offset = 0;
    }
  }
  return written;
}

void Progress::moved(curl_off_t down, curl_off_t up) {
  if (down == downloaded && up == uploaded) return;
  downloaded = down;
  uploaded = up;
  last = Clock::now();
}

Ending drive(CURLM* multi, CURL* easy, const std::atomic<bool>& stopped, const Progress& progress,
             std::chrono::duration<double> idleLimit) {
  curl_multi_add_handle(multi, easy);
  Ending ending{Ending::Kind::Stopped};
  for (int running = 1; !stopped;) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      ending = {Ending::Kind::Failed};
      break;
    }
    if (!running) {
      int left = 0;
      const CURLMsg* message = curl_multi_info_read(multi, &left);
      ending = {Ending::Kind::Done, message ? message->data.result : CURLE_OK};
      break;
    }
    const auto idle = Clock::now() - progress.last;
    if (idle >= idleLimit) {
      ending = {Ending::Kind::Idle};
      break;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(idleLimit - idle).count();
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min<long long>(wait, INT_MAX)),
                    nullptr);
  }
  curl_multi_remove_handle(multi, easy);
  return ending;
}

std::optional<std::pair<std::string, std::string>> headerField(std::string_view line) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && isSpace(value.front())) value.remove_prefix(1);
  while (!value.empty() && isSpace(value.back())) value.remove_suffix(1);
  return std::pair(std::move(name), std::string(value));
}

}  // namespace platform::curl
