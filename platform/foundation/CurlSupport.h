// What the layer's libcurl transfers share, internal to URL loading: the failures libcurl's codes
// stand for, a request body read from its pieces as they lie, the header fields of an answer, and
// the loop that drives one transfer until it ends, is stopped, or moves nothing for too long.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"

namespace platform::curl {

using Clock = std::chrono::steady_clock;

NSError urlError(NSURLErrorCode code, const std::string& sentence);
NSError badResponse();
NSError timedOut();
// The failure of an exchange that libcurl ended with the code; `certificate` is OpenSSL's result
// of verifying the server.
NSError errorFor(CURLcode code, long certificate);

// The authorities libcurl trusts by default, unless SSL_CERT_FILE or SSL_CERT_DIR name others
// (as for curl).
void trustAuthoritiesOfEnvironment(CURL* easy);

// A body handed to libcurl from its pieces, without copying them first.
struct BodyReader {
  std::vector<std::span<const std::uint8_t>> pieces;
  size_t piece = 0, offset = 0;
  // libcurl's read callback; `self` is the reader.
  static size_t read(char* buffer, size_t size, size_t count, void* self);
};

// The field of a header line as libcurl hands it over ("Name: value\r\n"): the name in lower
// case, the value without the white space around it; nullopt for a line that is no field.
std::optional<std::pair<std::string, std::string>> headerField(std::string_view line);

// When a transfer last moved a byte, kept up to date by its callbacks.
struct Progress {
  Clock::time_point last = Clock::now();
  curl_off_t downloaded = 0, uploaded = 0;
  // For libcurl's progress callback: counts that changed mean progress.
  void moved(curl_off_t down, curl_off_t up);
};

// How a driven transfer ended.
struct Ending {
  enum class Kind { Done, Stopped, Idle, Failed } kind;
  CURLcode code = CURLE_OK;  // libcurl's, when Done
};

// Runs the easy handle on the multi handle until it ends, `stopped` is set (waking the multi
// handle makes that seen at once), or nothing has moved for `idleLimit`. The handle is taken off
// the multi handle again, which keeps its connection for the next transfer.
Ending drive(CURLM* multi, CURL* easy, const std::atomic<bool>& stopped, const Progress& progress,
             std::chrono::duration<double> idleLimit);

}  // namespace platform::curl
