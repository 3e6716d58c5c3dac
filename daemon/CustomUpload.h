// One upload through a custom uploader file: the exchange the file describes, its redirects
// followed as a browser follows them, and its answer kept (up to the reader's limit) until it has
// come whole, when the file's templates give the addresses or the reason it failed. The
// controller owns it with the exchange, and is told the outcome.
#pragma once

#include <memory>
#include <string>

#include "common/CustomUploader.h"
#include "platform/foundation/URLConnection.h"

class KapshoController;

class CustomUpload final : public platform::NSURLConnectionDelegate {
 public:
  // Redirects followed at most, as browsers do; one more fails the upload.
  static constexpr int RedirectsFollowed = 5;

  CustomUpload(KapshoController& controller, CustomUploader uploader, std::string fileName);

  // Starts the exchange that sends the file; nullptr when it cannot start.
  std::shared_ptr<platform::NSURLConnection> start(const platform::Data& file);

  std::optional<platform::NSMutableURLRequest> connectionWillSendRequest(
      platform::NSURLConnection& connection, const platform::NSMutableURLRequest& request,
      const platform::NSHTTPURLResponse* redirectResponse) override;
  void connectionDidReceiveResponse(platform::NSURLConnection& connection,
                                    const platform::NSHTTPURLResponse& response) override;
  void connectionDidReceiveData(platform::NSURLConnection& connection,
                                const platform::Data& data) override;
  void connectionDidFinishLoading(platform::NSURLConnection& connection) override;
  void connectionDidFailWithError(platform::NSURLConnection& connection,
                                  const platform::NSError& error) override;

 private:
  void answered(platform::NSURLConnection& connection);

  KapshoController& controller_;
  CustomUploader uploader_;
  std::string fileName_;
  CustomUploader::Answer answer_;
  // The Location of the last redirect followed, for the files that read it from the answer.
  std::string lastLocation_;
  int redirects_ = 0;
};
