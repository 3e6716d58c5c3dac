#include "tools/kapsho-upload-server/UploadServer.h"

#include <QMimeDatabase>

#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>

#include "platform/foundation/Log.h"

namespace upload_server {

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

const char* const kUploadRoute = R"(/app_upload\.php)";
const char* const kImageRoute = R"(/i/([^/]*))";
const char* const kAnyRoute = ".*";
const char* const kPlainText = "text/plain; charset=utf-8";

void refuse(Response& response, int status, const std::string& reason) {
  response.status = status;
  response.set_content(reason + "\n", kPlainText);
}

// Reads a body to its end without keeping it, so that the connection stays in step.
bool drain(const Request& request, const ContentReader& read) {
  const auto ignore = [](const char*, std::size_t) { return true; };
  if (request.is_multipart_form_data())
    return read([](const httplib::MultipartFormData&) { return true; }, ignore);
  return read(ignore);
}

// 405 with the methods the path takes, or 404 when no route knows it.
void refuseUnrouted(const Request& request, Response& response) {
  std::string allowed;
  if (request.path == "/app_upload.php")
    allowed = "POST";
  else if (request.path.starts_with("/i/") && request.path.find('/', 3) == std::string::npos)
    allowed = "GET, HEAD";
  if (allowed.empty()) return refuse(response, 404, "not found");
  response.set_header("Allow", allowed);
  refuse(response, 405, "method not allowed; use " + allowed);
}

// Reasons for the answers cpp-httplib gives by itself.
std::string reasonFor(const Request& request, int status, std::size_t maxBytes) {
  switch (status) {
    case 400:
      if (!request.is_multipart_form_data()) return "malformed request";
      if (request.get_header_value("Content-Type").find("boundary=") == std::string::npos)
        return "multipart/form-data without a boundary";
      return "malformed multipart body";
    case 404:
      return "not found";
    case 413:
      return "request body larger than " + std::to_string(maxBytes) + " bytes";
    default:
      return "request refused";
  }
}

std::string contentTypeOf(const std::string& name) {
  return QMimeDatabase()
      .mimeTypeForFile(QString::fromStdString(name), QMimeDatabase::MatchExtension)
      .name()
      .toStdString();
}

}  // namespace

UploadServer::UploadServer(const ImageStore& store, std::string baseUrl, std::size_t maxBytes)
    : store_(store), baseUrl_(std::move(baseUrl)), maxBytes_(maxBytes) {
  server_.set_payload_max_length(maxBytes_);
  // cpp-httplib's default adds SO_REUSEPORT, with which a second server would share a port in use
  // instead of failing; SO_REUSEADDR alone still allows a restart at once.
  server_.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // cpp-httplib would wait for a body without length until its read timeout; HTTP says there is
  // none, so say what is missing at once.
  server_.set_pre_routing_handler([](const Request& request, Response& response) {
    const bool takesBody =
        request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
    if (!takesBody || request.has_header("Content-Length") ||
        request.has_header("Transfer-Encoding"))
      return HandlerResponse::Unhandled;
    refuse(response, 411, "Content-Length required");
    return HandlerResponse::Handled;
  });

  server_.Post(kUploadRoute,
               [this](const Request& request, Response& response, const ContentReader& read) {
                 upload(request, response, read);
               });
  server_.Get(kImageRoute,
              [this](const Request& request, Response& response) { image(request, response); });

  // Routes for everything else; taking each body through a reader keeps cpp-httplib from
  // buffering it whole.
  const auto refuseWithBody = [](const Request& request, Response& response,
                                 const ContentReader& read) {
    if (drain(request, read)) refuseUnrouted(request, response);
  };
  server_.Post(kAnyRoute, refuseWithBody);
  server_.Put(kAnyRoute, refuseWithBody);
  server_.Patch(kAnyRoute, refuseWithBody);
  server_.Delete(kAnyRoute, refuseWithBody);
  server_.Get(kAnyRoute, refuseUnrouted);
  server_.Options(kAnyRoute, refuseUnrouted);

  server_.set_error_handler(
      httplib::Server::HandlerWithResponse([this](const Request& request, Response& response) {
        if (!response.body.empty()) return HandlerResponse::Unhandled;
        refuse(response, response.status, reasonFor(request, response.status, maxBytes_));
        return HandlerResponse::Handled;
      }));

  server_.set_logger([](const Request& request, const Response& response) {
    // upload() logs stored uploads itself, with their name and size.
    if (response.status != 302) NSLog("%@ %@ %d", request.method, request.target, response.status);
  });
}

std::optional<std::string> UploadServer::bind(const std::string& address, int port) {
  errno = 0;
  if (server_.bind_to_port(address, port)) return std::nullopt;
  std::string reason = "cannot listen on " + address + " port " + std::to_string(port);
  if (errno != 0) reason += ": " + std::generic_category().message(errno);
  return reason;
}

bool UploadServer::serve() {
  return server_.listen_after_bind();
}

void UploadServer::stop() {
  server_.stop();
}

void UploadServer::upload(const Request& request, Response& response,
                          const ContentReader& read) const {
  // Counted here too: cpp-httplib limits only bodies that state their length. Past the limit the
  // body is still read to its end, for the connection's sake, but no longer kept.
  std::size_t received = 0;
  const auto keep = [&](std::size_t length) {
    received += length;
    return received <= maxBytes_;
  };
  const auto tooLarge = [&] { refuse(response, 413, reasonFor(request, 413, maxBytes_)); };

  if (!request.is_multipart_form_data()) {
    if (!read([&](const char*, std::size_t length) {
          keep(length);
          return true;
        }))
      return;
    if (received > maxBytes_) return tooLarge();
    return refuse(response, 400, "expected a multipart/form-data body");
  }

  std::optional<std::string> field;
  std::optional<httplib::MultipartFormData> file;
  std::string* into = nullptr;
  const bool complete = read(
      [&](const httplib::MultipartFormData& part) {
        into = nullptr;
        if (part.name == "app_upload" && !field)
          into = &field.emplace();
        else if (part.name == "userfile" && !file)
          into = &file.emplace(part).content;
        return true;
      },
      [&](const char* data, std::size_t length) {
        if (keep(length) && into) into->append(data, length);
        return true;
      });
  // On failure cpp-httplib has set 400 or 413, and the error handler gives the reason.
  if (!complete) return;
  if (received > maxBytes_) return tooLarge();
  if (field != "Upload") return refuse(response, 400, "the field app_upload must be \"Upload\"");
  if (!file) return refuse(response, 400, "no file part userfile");

  std::string error;
  const auto name = store_.store(file->content, file->filename, &error);
  if (!name) {
    NSLog("cannot store an upload: %@", error);
    return refuse(response, 500, "cannot store the upload");
  }
  const std::string location = baseUrl_ + "/i/" + *name;
  response.set_redirect(location, 302);
  response.set_content("Stored at " + location + "\n", kPlainText);
  NSLog("%@ %@ 302 stored %@ (%ld bytes)", request.method, request.target, *name,
        static_cast<long>(file->content.size()));
}

void UploadServer::image(const Request& request, Response& response) const {
  const std::string name = request.matches[1];
  const auto path = store_.find(name);
  // The size comes from the opened file, which a later upload of the same name cannot change.
  auto file = path ? std::make_shared<std::ifstream>(*path, std::ios::binary) : nullptr;
  if (!file || !file->seekg(0, std::ios::end)) return refuse(response, 404, "no such image");
  const auto size = static_cast<std::size_t>(file->tellg());
  // An upload may be HTML or SVG: it is shown, but never runs script with this server's origin.
  response.set_header("Content-Security-Policy", "default-src 'none'; sandbox");
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_content_provider(
      size, contentTypeOf(name),
      [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        file->seekg(static_cast<std::streamoff>(offset));
        file->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
        if (file->gcount() <= 0) return false;
        return sink.write(buffer, static_cast<std::size_t>(file->gcount()));
      });
}

}  // namespace upload_server
