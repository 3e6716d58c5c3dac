// Upload: the multipart request for a new screenshot, and the server's answer.
#include <cstring>

#include "daemon/KapshoController.h"
#include "platform/appkit/Pasteboard.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace {

const std::string BoundaryBase = "KapshoBoundary";
constexpr size_t RecentImagesKept = 9;

void append(Data& body, const std::string& text) {
  body.append(text.data(), text.size());
}

// The file name as the filename parameter carries it: its bytes as they are, except the three
// that could end the parameter or the header line.
std::string formFileName(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  std::string escaped;
  for (char c : name) {
    if (c == '"')
      escaped += "%22";
    else if (c == '\r')
      escaped += "%0D";
    else if (c == '\n')
      escaped += "%0A";
    else
      escaped += c;
  }
  return escaped;
}

// "user:token@" of a URL's authority, or "".
std::string userInfo(const std::string& url) {
  const auto span = authoritySpanOf(url);
  return span ? url.substr(span->start, span->hostStart - span->start) : std::string();
}

// The address without the agent's own credentials, should the server have put them in it: they
// are never logged, copied or recorded.
std::string withoutCredentials(std::string address, const std::string& endpoint) {
  const std::string credentials = userInfo(endpoint);
  if (!credentials.empty() && userInfo(address) == credentials)
    address.erase(authoritySpanOf(address)->start, credentials.size());
  return address;
}

}  // namespace

std::string KapshoController::boundaryForData(const Data& data) {
  std::string boundary = BoundaryBase;
  const uint8_t* bytes = data.bytes();
  const size_t n = data.size();
  // Only a CR can start a collision, so the walk jumps from one CR to the next.
  for (size_t i = 0; boundary.size() + 4 <= n && i <= n - boundary.size() - 4; ++i) {
    const size_t last = n - boundary.size() - 4;
    const void* cr = std::memchr(bytes + i, '\r', last - i + 1);
    if (!cr) break;
    i = static_cast<const uint8_t*>(cr) - bytes;
    if (bytes[i + 1] != '\n' || bytes[i + 2] != '-' || bytes[i + 3] != '-' ||
        std::memcmp(bytes + i + 4, boundary.data(), boundary.size()) != 0)
      continue;
    // At the last offset no byte follows the match; either letter makes it differ.
    const size_t after = i + 4 + boundary.size();
    boundary.push_back(after < n && bytes[after] == 'X' ? 'Y' : 'X');
  }
  return boundary;
}

void KapshoController::matchPath(const std::string& path) {
  const auto file = dataWithContentsOfFile(path);
  if (!file) {
    NSLog("Couldn't read file: %@", path);
    return;
  }
  if (currentConnection_) {
    currentConnection_->cancel();
    currentConnection_.reset();
  }
  if (uploadAsSettingsSay(*file, path)) return;
  const auto endpoint = NSURL::URLWithString(uploadEndpoint_);
  if (!endpoint) {
    NSLog("Could not create URL connection");
    return;
  }
  auto request =
      NSMutableURLRequest::requestWithURL(*endpoint, NSURLRequestReloadIgnoringCacheData, 60.0);
  request.setHTTPMethod("POST");
  const std::string boundary = boundaryForData(*file);
  request.setValue(stringWithFormat("multipart/form-data; boundary=%@", boundary), "Content-Type");

  Data body;
  append(body,
         stringWithFormat("--%@\r\nContent-Disposition: form-data; name=\"app_upload\"\r\n\r\n",
                          boundary));
  append(body, "Upload");
  append(body, stringWithFormat("\r\n--%@\r\nContent-Disposition: form-data; name=\"userfile\"; "
                                "filename=\"%@\"\r\n",
                                boundary, formFileName(path)));
  append(body, "Content-Type: application/octet-stream\r\n\r\n");
  body.append(*file);
  append(body, stringWithFormat("\r\n--%@--\r\n", boundary));
  request.setHTTPBody(std::move(body));

  currentConnection_ = NSURLConnection::connectionWithRequest(request, this);
  if (!currentConnection_) {
    NSLog("Could not create URL connection");
    return;
  }
  showStatus(StatusItemPending, 0.0);
}

// Events of an exchange that is no longer the upload in flight (its outcome is decided, or a
// newer upload replaced it) are not its outcome and are dropped.
bool KapshoController::isCurrent(const NSURLConnection& connection) const {
  return currentConnection_.get() == &connection;
}

std::optional<NSMutableURLRequest> KapshoController::connectionWillSendRequest(
    NSURLConnection& connection, const NSMutableURLRequest& request,
    const NSHTTPURLResponse* redirectResponse) {
  if (!redirectResponse) return request;
  if (!isCurrent(connection)) return std::nullopt;
  const auto location = redirectResponse->valueForHTTPHeaderField("Location");
  const auto url = location ? NSURL::URLWithString(withoutCredentials(*location, uploadEndpoint_))
                            : std::nullopt;
  // Each outcome is notified before it is logged, so that its log line says it is all decided.
  if (url) {
    notifyUploadFinished(*url);
    finishedUpload(*url);
    showStatus(StatusItemFinished, StatusItemDefaultTimeout);
  } else {
    const std::string failure =
        stringWithFormat("Upload got invalid %d response", redirectResponse->statusCode());
    notifyUploadFailed(failure);
    NSLog("%@", failure);
    showStatus(StatusItemError, StatusItemDefaultTimeout);
  }
  currentConnection_.reset();
  return std::nullopt;
}

void KapshoController::connectionDidReceiveResponse(NSURLConnection& connection,
                                                    const NSHTTPURLResponse& response) {
  if (!isCurrent(connection)) return;
  const std::string failure = stringWithFormat("Upload got %d response", response.statusCode());
  notifyUploadFailed(failure);
  NSLog("%@", failure);
  currentConnection_.reset();
  showStatus(StatusItemError, StatusItemDefaultTimeout);
}

void KapshoController::connectionDidReceiveData(NSURLConnection&, const Data&) {}

void KapshoController::connectionDidFailWithError(NSURLConnection& connection,
                                                  const NSError& error) {
  if (!isCurrent(connection)) return;
  const std::string failure = stringWithFormat("Upload failed: %@", error.localizedDescription());
  notifyUploadFailed(failure);
  NSLog("%@", failure);
  currentConnection_.reset();
  showStatus(StatusItemError, StatusItemDefaultErrorTimeout);
  setStatusError(error);
}

void KapshoController::finishedUpload(const NSURL& url, const std::string& deletionURL) {
  copyImage(url);
  NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
  Array recent;
  if (auto stored = defaults.arrayForKey(RecentImageUploadsKey)) recent = std::move(*stored);
  if (recent.size() > RecentImagesKept)
    recent.erase(recent.begin() + RecentImagesKept, recent.end());
  Dictionary record;
  record["url"] = url.absoluteString();
  record["date"] = NSDate::date().description();
  if (!deletionURL.empty()) record[RecentImageDeletionURLKey] = deletionURL;
  recent.emplace(recent.begin(), std::move(record));
  defaults.setObject(Value(recent), RecentImageUploadsKey);
  updateStatusMenu();
}

void KapshoController::copyImage(const NSURL& url) {
  const std::string text = url.absoluteString();
  NSLog("Copying URL to clipboard: %@", text);
  NSPasteboard& pasteboard = NSPasteboard::generalPasteboard();
  pasteboard.declareTypes({NSStringPboardType}, this);
  pasteboard.setString(text, NSStringPboardType);
}

// The record keeps the address as the server sent it. A relative one is opened against the
// upload endpoint (without the agent's credentials), and only a web address is opened at all:
// a server must not make a click open a local file or start some other scheme's handler.
void KapshoController::openImage(const NSURL& url) {
  const auto base = NSURL::URLWithString(withoutCredentials(uploadEndpoint_, uploadEndpoint_));
  const auto address =
      base ? NSURL::URLWithString(url.absoluteString(), *base) : std::optional<NSURL>();
  const std::string scheme = address ? address->scheme() : std::string();
  if (scheme != "http" && scheme != "https") {
    NSLog("Not opening %@: only http and https addresses are opened", url.absoluteString());
    return;
  }
  NSWorkspace::sharedWorkspace().openURL(*address);
}
