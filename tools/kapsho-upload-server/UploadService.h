// The routes of the upload service: POST /app_upload.php stores a multipart form's file and
// redirects to its address; GET and HEAD /i/<name> serve it. Checks that need only a request's
// head (its size, its encoding) come before any of its body is read.
#pragma once

#include <cstddef>
#include <string>

#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

class UploadService : public RequestHandler {
 public:
  UploadService(const ImageStore& store, std::string baseUrl, std::size_t maxBytes);

  Start begin(const Request& request) override;

 private:
  Start upload(const Request& request) const;
  Reply image(const std::string& name) const;

  const ImageStore& store_;
  const std::string baseUrl_;
  const std::size_t maxBytes_;
};

}  // namespace upload_server
