#include "tools/kapsho-upload-server/UploadService.h"

#include <microhttpd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "tools/kapsho-upload-server/ImageType.h"
#include "tools/kapsho-upload-server/Multipart.h"
#include "tools/kapsho-upload-server/UploadReceiver.h"

namespace upload_server {

namespace {

const std::string kUploadPath = "/app_upload.php";
const std::string kImagePrefix = "/i/";
const std::string kDeletePrefix = "/d/";
const std::string kClientFilePath = "/kapsho.sxcu";
// How long a client is asked to wait while the image store cannot be reached.
const std::string kStoreRetrySeconds = "30";
const char* const kChallenge = "Basic realm=\"kapsho-upload-server\", charset=\"UTF-8\"";

// The name and password of a request's Basic authorization (the scheme in any case, as RFC 7235
// has it), or nullopt without both or with a NUL in either, which no listed user has.
std::optional<std::pair<std::string, std::string>> basicCredentials(const Request& request) {
  const auto field = request.header(MHD_HTTP_HEADER_AUTHORIZATION);
  constexpr std::string_view kScheme = "basic ";
  if (!field || field->size() < kScheme.size() ||
      strncasecmp(field->c_str(), kScheme.data(), kScheme.size()) != 0)
    return std::nullopt;
  const QByteArray encoded = QByteArray::fromStdString(*field).mid(kScheme.size()).trimmed();
  const auto decoded =
      QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
  const qsizetype colon = decoded.decoded.indexOf(':');
  if (!decoded || colon < 0 || decoded.decoded.contains('\0')) return std::nullopt;
  return std::pair(decoded.decoded.left(colon).toStdString(),
                   decoded.decoded.mid(colon + 1).toStdString());
}

Reply refusedMethod(const std::string& allowed) {
  Reply refusal = Reply::plain(405, "method not allowed; use " + allowed);
  refusal.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, allowed);
  return refusal;
}

Reply storeUnavailable(const std::string& reason) {
  Reply reply = Reply::plain(503, "the image store is unavailable; try again later");
  reply.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, kStoreRetrySeconds);
  reply.note = "unavailable: " + reason;
  return reply;
}

Reply challenge(const std::string& text) {
  Reply refusal = Reply::plain(401, text);
  refusal.headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, kChallenge);
  return refusal;
}

std::string escapedForHtml(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// Pages of this service run no script and post only to it.
const std::pair<std::string, std::string> kPagePolicy{
    MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY,
    "default-src 'none'; form-action 'self'; frame-ancestors 'none'"};

}  // namespace

std::string clientFile(const std::string& baseUrl, const std::string& user,
                       const std::string& token) {
  QJsonObject headers{{"Accept", "application/json"}};
  if (!user.empty())
    headers["Authorization"] = QString::fromStdString(
        "Basic " + QByteArray::fromStdString(user + ":" + token).toBase64().toStdString());
  const QString host = QUrl(QString::fromStdString(baseUrl)).host();
  const QJsonObject file{
      {"Name", "Kapsho at " + host},
      {"DestinationType", "ImageUploader"},
      {"RequestMethod", "POST"},
      {"RequestURL", QString::fromStdString(baseUrl + kUploadPath)},
      {"Headers", headers},
      {"Body", "MultipartFormData"},
      {"Arguments", QJsonObject{{"app_upload", "Upload"}}},
      {"FileFormName", "userfile"},
      {"URL", "{header:Location}"},
      {"DeletionURL", "{header:X-Delete-Url}"},
      {"ErrorMessage", "{response}"},
  };
  return QJsonDocument(file).toJson().toStdString();
}

UploadService::UploadService(const ImageStore& store, ServiceSettings settings)
    : store_(store), settings_(std::move(settings)) {}

RequestHandler::Start UploadService::begin(const Request& request) {
  const std::string& path = request.path();
  const std::string& method = request.method();
  const bool reads = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
  if (path == kUploadPath)
    return method == MHD_HTTP_METHOD_POST ? upload(request) : refusedMethod("POST");
  if (path == kClientFilePath) return reads ? uploaderFile(request) : refusedMethod("GET, HEAD");
  if (path.starts_with(kImagePrefix) && path.find('/', kImagePrefix.size()) == std::string::npos)
    return reads ? image(path.substr(kImagePrefix.size())) : refusedMethod("GET, HEAD");
  const auto slash = path.find('/', kDeletePrefix.size());
  if (path.starts_with(kDeletePrefix) && slash != std::string::npos &&
      path.find('/', slash + 1) == std::string::npos) {
    if (!reads && method != MHD_HTTP_METHOD_POST) return refusedMethod("GET, HEAD, POST");
    return deletion(request, path.substr(kDeletePrefix.size(), slash - kDeletePrefix.size()),
                    path.substr(slash + 1));
  }
  return Reply::plain(404, "not found");
}

RequestHandler::Start UploadService::upload(const Request& request) const {
  auto admitted = admit(request);
  if (auto* refusal = std::get_if<Reply>(&admitted)) return std::move(*refusal);
  if (request.header(MHD_HTTP_HEADER_CONTENT_ENCODING))
    return Reply::plain(415, "request bodies with a Content-Encoding are not taken");
  // A declared length is checked before any of the body is asked for.
  const auto length = request.contentLength();
  if (!length) return Reply::plain(411, "Content-Length required");
  if (*length > settings_.maxBytes)
    return Reply::plain(
        413, "request body larger than " + std::to_string(settings_.maxBytes) + " bytes");
  const FormType form = formTypeOf(request.header(MHD_HTTP_HEADER_CONTENT_TYPE).value_or(""));
  if (!form.isFormData) return Reply::plain(400, "expected a multipart/form-data body");
  if (!form.boundary) return Reply::plain(400, "multipart/form-data without a boundary");
  // A client that asks for JSON gets "201 Created" instead of a redirect, which upload tools
  // would follow to the image itself and so lose the answer's header fields.
  const bool created =
      request.headerList(MHD_HTTP_HEADER_ACCEPT).find("application/json") != std::string::npos;
  return std::make_unique<UploadReceiver>(*form.boundary, store_,
                                          [this, base = baseUrlFor(request), created,
                                           uploader = std::move(std::get<std::string>(admitted))](
                                              const StoreOutcome& outcome, std::size_t size) {
                                            return published(outcome, size, base, created,
                                                             uploader);
                                          });
}

// Every upload counts against its client's rate, whatever becomes of it, so that guessing tokens
// is slowed down too.
std::variant<Reply, std::string> UploadService::admit(const Request& request) const {
  if (const auto wait = settings_.rate
                            ? settings_.rate->admit(request.client(), RateLimit::Clock::now())
                            : std::nullopt) {
    Reply refusal =
        Reply::plain(429, "too many uploads from " + request.client() + "; the next is taken in " +
                              std::to_string(wait->count()) + " s");
    refusal.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(wait->count()));
    return refusal;
  }
  if (!settings_.users) return std::string();
  const auto credentials = basicCredentials(request);
  if (credentials && settings_.users->authorizes(credentials->first, credentials->second))
    return credentials->first;
  return challenge("uploads need the name and token of a listed user");
}

Reply UploadService::published(const StoreOutcome& outcome, std::size_t size,
                               const std::string& base, bool created,
                               const std::string& uploader) const {
  switch (outcome.kind) {
    case StoreOutcome::Kind::Stored: {
      const std::string location = base + kImagePrefix + outcome.text;
      const std::string deletion =
          outcome.deletionToken.empty()
              ? std::string()
              : base + kDeletePrefix + outcome.text + "/" + outcome.deletionToken;
      Reply reply = Reply::plain(created ? 201 : 302, "Stored at " + location);
      if (created) {
        reply.headers = {{MHD_HTTP_HEADER_CONTENT_TYPE, "application/json"}};
        reply.text = QJsonDocument(QJsonObject{{"url", QString::fromStdString(location)},
                                               {"deletion_url", QString::fromStdString(deletion)}})
                         .toJson(QJsonDocument::Compact)
                         .toStdString() +
                     "\n";
      }
      reply.headers.emplace_back(MHD_HTTP_HEADER_LOCATION, location);
      if (!deletion.empty()) reply.headers.emplace_back("X-Delete-Url", deletion);
      reply.note = "stored " + outcome.text + " (" + std::to_string(size) + " bytes)" +
                   (uploader.empty() ? "" : " for " + uploader);
      return reply;
    }
    case StoreOutcome::Kind::NameTaken: {
      Reply reply = Reply::plain(409, "the name " + outcome.text + " holds other bytes");
      reply.note = "refused: " + outcome.text + " already holds other bytes";
      return reply;
    }
    case StoreOutcome::Kind::Unavailable:
      return storeUnavailable(outcome.text);
    case StoreOutcome::Kind::Failed:
      break;
  }
  return UploadReceiver::failure(outcome.text);
}

Reply UploadService::image(const std::string& name) const {
  ServedImage stored = store_.open(name);
  if (stored.kind == ServedImage::Kind::Unavailable) return storeUnavailable(stored.reason);
  if (stored.kind == ServedImage::Kind::Missing) return Reply::plain(404, "no such image");
  const auto type = imageTypeOf(stored.leading);
  Reply reply;
  reply.file = std::move(stored.file);
  reply.source = std::move(stored.source);
  reply.fileSize = stored.size;
  reply.headers = {
      {MHD_HTTP_HEADER_CONTENT_TYPE,
       std::string(type ? type->mediaType : std::string_view("application/octet-stream"))},
      // A file stored before only images were taken may be HTML or SVG: it is shown, but never
      // runs script with this server's origin.
      {MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, "default-src 'none'; sandbox"},
      {MHD_HTTP_HEADER_X_CONTENT_TYPE_OPTIONS, "nosniff"},
      // Ranges are not served: every answer is the whole file.
      {MHD_HTTP_HEADER_ACCEPT_RANGES, "none"},
  };
  return reply;
}

// A link opened by mistake deletes nothing: GET asks, and only the form's POST deletes.
Reply UploadService::deletion(const Request& request, const std::string& name,
                              const std::string& token) const {
  if (request.method() != MHD_HTTP_METHOD_POST) {
    Reply page = Reply::plain(200, "");
    page.headers = {{MHD_HTTP_HEADER_CONTENT_TYPE, "text/html; charset=utf-8"}, kPagePolicy};
    page.text =
        "<!DOCTYPE html>\n<title>Delete an image</title>\n<form method=\"post\">\n<p>Delete " +
        escapedForHtml(name) + " for good?</p>\n<button type=\"submit\">Delete</button>\n</form>\n";
    page.note = "asked to delete " + name;
    return page;
  }
  switch (store_.remove(name, token)) {
    case Removal::Removed:
      return Reply::plain(200, "deleted " + name);
    case Removal::Unavailable:
      return storeUnavailable("cannot delete " + name);
    case Removal::NotFound:
      break;
  }
  return Reply::plain(404, "no such image");
}

Reply UploadService::uploaderFile(const Request& request) const {
  std::pair<std::string, std::string> credentials;
  if (settings_.users) {
    const auto given = basicCredentials(request);
    if (!given || !settings_.users->authorizes(given->first, given->second))
      return challenge("the uploader file is for listed users");
    credentials = *given;
  }
  Reply reply = Reply::plain(200, "");
  reply.headers = {{MHD_HTTP_HEADER_CONTENT_TYPE, "application/json"},
                   {MHD_HTTP_HEADER_CONTENT_DISPOSITION, "attachment; filename=\"kapsho.sxcu\""}};
  reply.text = clientFile(baseUrlFor(request), credentials.first, credentials.second);
  reply.note = "uploader file" + (credentials.first.empty() ? "" : " for " + credentials.first);
  return reply;
}

std::string UploadService::baseUrlFor(const Request& request) const {
  const Origin& origin = request.origin();
  if (settings_.baseUrlGiven || origin.host.empty()) return settings_.baseUrl;
  return (origin.scheme.empty() ? "http" : origin.scheme) + "://" + origin.host;
}

}  // namespace upload_server
