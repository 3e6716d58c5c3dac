// Upload through a custom uploader file: the controller's road for it, and the events of its
// exchange.
#include "daemon/CustomUpload.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "daemon/KapshoController.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/URL.h"

using namespace platform;

namespace {

// As long as the built-in request may go without progress.
constexpr double UploadTimeout = 60.0;
// The domain of an upload's failures that are the agent's own, not the exchange's.
const std::string UploadErrorDomain = "KapshoUploadErrorDomain";

std::string fileNameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// "scheme://host:port" of an address, in lower case, without user information.
std::string originOf(const std::string& address) {
  const auto span = authoritySpanOf(address);
  if (!span) return {};
  std::string origin =
      address.substr(0, span->start) + address.substr(span->hostStart, span->end - span->hostStart);
  std::transform(origin.begin(), origin.end(), origin.begin(), ::tolower);
  return origin;
}

// The request without its Authorization field: browsers send no credentials of one origin to
// another that a redirect names.
NSMutableURLRequest withoutAuthorization(const NSMutableURLRequest& request) {
  auto copy = NSMutableURLRequest::requestWithURL(request.URL(), request.cachePolicy(),
                                                  request.timeoutInterval());
  copy.setHTTPMethod(request.HTTPMethod());
  for (const auto& [field, value] : request.allHTTPHeaderFields())
    if (strcasecmp(field.c_str(), "Authorization") != 0) copy.setValue(value, field);
  copy.setHTTPBody(request.HTTPBody());
  return copy;
}

}  // namespace

CustomUpload::CustomUpload(KapshoController& controller, CustomUploader uploader,
                           std::string fileName)
    : controller_(controller), uploader_(std::move(uploader)), fileName_(std::move(fileName)) {}

std::shared_ptr<NSURLConnection> CustomUpload::start(const Data& file) {
  const CustomUploader::Request request = uploader_.requestForFile(file, fileName_);
  const auto url = NSURL::URLWithString(request.url);
  if (!url) return nullptr;
  auto sent =
      NSMutableURLRequest::requestWithURL(*url, NSURLRequestReloadIgnoringCacheData, UploadTimeout);
  sent.setHTTPMethod(request.method);
  for (const auto& [field, value] : request.headerFields) sent.setValue(value, field);
  sent.setHTTPBody(request.body);
  return NSURLConnection::connectionWithRequest(sent, this);
}

std::optional<NSMutableURLRequest> CustomUpload::connectionWillSendRequest(
    NSURLConnection& connection, const NSMutableURLRequest& request,
    const NSHTTPURLResponse* redirectResponse) {
  const std::string from = std::exchange(answer_.url, request.URL().absoluteString());
  if (!redirectResponse) return request;
  if (++redirects_ > RedirectsFollowed) {
    const NSError error("NSURLErrorDomain", NSURLErrorHTTPTooManyRedirects,
                        "too many HTTP redirects");
    controller_.customUploadFailed(connection, "Upload failed: " + error.localizedDescription(),
                                   error);
    return std::nullopt;
  }
  lastLocation_ = redirectResponse->valueForHTTPHeaderField("Location").value_or("");
  return originOf(from) == originOf(answer_.url) ? request : withoutAuthorization(request);
}

void CustomUpload::connectionDidReceiveResponse(NSURLConnection&,
                                                const NSHTTPURLResponse& response) {
  answer_.statusCode = response.statusCode();
  answer_.headerFields = response.allHeaderFields();
  // Files that read the Location of the answer mean the redirect's, which the final answer of a
  // followed redirect lacks.
  if (!lastLocation_.empty() && !response.valueForHTTPHeaderField("Location"))
    answer_.headerFields["Location"] = lastLocation_;
}

void CustomUpload::connectionDidReceiveData(NSURLConnection& connection, const Data& data) {
  answer_.body.append(data);
  // Past the limit the answer is refused as it is: nothing more of it is read.
  if (answer_.body.size() > CustomUploader::AnswerBytesKept) answered(connection);
}

void CustomUpload::connectionDidFinishLoading(NSURLConnection& connection) {
  answered(connection);
}

void CustomUpload::connectionDidFailWithError(NSURLConnection& connection, const NSError& error) {
  const NSError told(error.domain(), error.code(), uploader_.redact(error.localizedDescription()));
  controller_.customUploadFailed(connection, "Upload failed: " + told.localizedDescription(), told);
}

void CustomUpload::answered(NSURLConnection& connection) {
  const auto links = uploader_.linksForAnswer(answer_, fileName_);
  if (const auto* failure = std::get_if<CustomUploader::Failure>(&links)) {
    controller_.customUploadFailed(connection, failure->reason, std::nullopt);
    return;
  }
  const auto& found = std::get<CustomUploader::Links>(links);
  if (const auto url = NSURL::URLWithString(found.url))
    controller_.customUploadFinished(connection, *url, found.deletionURL);
  else
    controller_.customUploadFailed(connection,
                                   "Upload got " + std::to_string(answer_.statusCode) +
                                       " response without a usable URL ('" + found.url +
                                       "' is no well-formed address)",
                                   std::nullopt);
}

void KapshoController::uploadThroughCustomUploader(const std::string& uploaderPath,
                                                   const Data& file, const std::string& path) {
  auto loaded = CustomUploader::load(uploaderPath);
  if (const auto* failure = std::get_if<CustomUploader::Failure>(&loaded)) {
    uploadCouldNotStart("custom uploader " + failure->reason);
    return;
  }
  customUpload_ = std::make_unique<CustomUpload>(*this, std::get<CustomUploader>(std::move(loaded)),
                                                 fileNameOf(path));
  currentConnection_ = customUpload_->start(file);
  if (!currentConnection_) {
    NSLog("Could not create URL connection");
    return;
  }
  showStatus(StatusItemPending, 0.0);
}

void KapshoController::uploadCouldNotStart(const std::string& reason) {
  const std::string failure = "Upload failed: " + reason;
  notifyUploadFailed(failure);
  NSLog("%@", failure);
  showStatus(StatusItemError, StatusItemDefaultErrorTimeout);
  setStatusError(NSError(UploadErrorDomain, 1, reason));
}

void KapshoController::customUploadFinished(NSURLConnection& connection, const NSURL& url,
                                            const std::string& deletionURL) {
  if (!isCurrent(connection)) return;
  notifyUploadFinished(url);
  finishedUpload(url, deletionURL);
  showStatus(StatusItemFinished, StatusItemDefaultTimeout);
  currentConnection_.reset();
}

void KapshoController::customUploadFailed(NSURLConnection& connection, const std::string& line,
                                          const std::optional<NSError>& error) {
  if (!isCurrent(connection)) return;
  notifyUploadFailed(line);
  NSLog("%@", line);
  currentConnection_.reset();
  showStatus(StatusItemError, error ? StatusItemDefaultErrorTimeout : StatusItemDefaultTimeout);
  if (error) setStatusError(*error);
}
