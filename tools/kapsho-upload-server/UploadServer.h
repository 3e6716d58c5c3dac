// The HTTP side of the upload service: POST /app_upload.php stores, GET /i/<name> serves.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <optional>
#include <string>

#include "tools/kapsho-upload-server/ImageStore.h"

namespace upload_server {

class UploadServer {
 public:
  UploadServer(const ImageStore& store, std::string baseUrl, std::size_t maxBytes);
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  // Gives the reason when the address cannot be listened on.
  std::optional<std::string> bind(const std::string& address, int port);
  // Answers requests until stop(); false when listening ended on its own.
  bool serve();
  // Safe from any thread; requests in progress are finished first.
  void stop();

 private:
  void upload(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader& read) const;
  void image(const httplib::Request& request, httplib::Response& response) const;

  const ImageStore& store_;
  const std::string baseUrl_;
  const std::size_t maxBytes_;
  httplib::Server server_;
};

}  // namespace upload_server
