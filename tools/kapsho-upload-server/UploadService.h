// The routes of the upload service: POST /app_upload.php stores a multipart form's file and
// redirects to its address; GET and HEAD /i/<name> serve it. Checks that need only a request's
// head (the client's rate, its credentials, the body's size and encoding) come before any of its
// body is read. Only images are stored, and each is served as the type its bytes show.
#pragma once

#include <cstddef>
#include <string>

#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

class UploadService : public RequestHandler {
 public:
  // Without users anyone may upload; without a rate limit a client may upload at any rate.
  UploadService(const ImageStore& store, std::string baseUrl, std::size_t maxBytes,
                const Users* users = nullptr, RateLimit* rate = nullptr);

  Start begin(const Request& request) override;

 private:
  Start upload(const Request& request) const;
  // The refusal of a client over its rate or without a listed user's credentials, or the
  // uploader's name ("" when anyone may upload).
  std::variant<Reply, std::string> admit(const Request& request) const;
  Reply image(const std::string& name) const;

  const ImageStore& store_;
  const std::string baseUrl_;
  const std::size_t maxBytes_;
  const Users* users_;
  RateLimit* rate_;
};

}  // namespace upload_server
