// The routes of the upload service: POST /app_upload.php stores a multipart form's file and
// redirects to its address; GET and HEAD /i/<name> serve it; /d/<name>/<token> deletes it;
// /kapsho.sxcu gives a user a custom uploader file for this service. Checks that need only a
// request's head (the client's rate, its credentials, the body's size and encoding) come before
// any of its body is read. Only images are stored, and each is served as the type its bytes show.
#pragma once

#include <cstddef>
#include <string>

#include "tools/kapsho-upload-server/AccessControl.h"
#include "tools/kapsho-upload-server/HttpServer.h"
#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

struct ServiceSettings {
  // The start of the addresses handed out; unless `baseUrlGiven`, a request that came through a
  // trusted proxy gets the scheme and host it asked for instead.
  std::string baseUrl;
  bool baseUrlGiven = false;
  std::size_t maxBytes = 0;
  // Without users anyone may upload; without a rate limit a client may upload at any rate.
  const Users* users = nullptr;
  RateLimit* rate = nullptr;
};

// A custom uploader file (the JSON format other upload tools read too) that uploads to the
// service at baseUrl as this user ("" where anyone may upload).
std::string clientFile(const std::string& baseUrl, const std::string& user,
                       const std::string& token);

class UploadService : public RequestHandler {
 public:
  UploadService(const ImageStore& store, ServiceSettings settings);

  Start begin(const Request& request) override;

 private:
  Start upload(const Request& request) const;
  // The refusal of a client over its rate or without a listed user's credentials, or the
  // uploader's name ("" when anyone may upload).
  std::variant<Reply, std::string> admit(const Request& request) const;
  Reply published(const StoreOutcome& outcome, std::size_t size, const std::string& base,
                  bool created, const std::string& uploader) const;
  Reply image(const std::string& name) const;
  Reply deletion(const Request& request, const std::string& name, const std::string& token) const;
  Reply uploaderFile(const Request& request) const;
  std::string baseUrlFor(const Request& request) const;

  const ImageStore& store_;
  const ServiceSettings settings_;
};

}  // namespace upload_server
