#include "platform/foundation/HTTPTransfer.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/CurlSupport.h"

namespace platform {

using namespace curl;

namespace {

// The product token every request of the agent has carried so far: servers may tell its uploads
// by it.
constexpr char kUserAgent[] = "cpp-httplib/0.11.4";

struct URLDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlURL = std::unique_ptr<CURLU, URLDeleter>;

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK) return std::nullopt;
  std::string result(text);
  curl_free(text);
  return result;
}

std::optional<std::string> httpText(CURLU* url) {
  const auto scheme = part(url, CURLUPART_SCHEME), host = part(url, CURLUPART_HOST);
  if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty())
    return std::nullopt;
  return part(url, CURLUPART_URL);
}

CurlURL parsed(const std::string& text) {
  CurlURL url(curl_url());
  if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) url.reset();
  return url;
}

// The Host field the URL asks for: its port only when it is not the scheme's own.
std::string hostField(const std::string& text) {
  const CurlURL url = parsed(text);
  const std::string host = url ? part(url.get(), CURLUPART_HOST).value_or("") : "";
  const auto port = url ? part(url.get(), CURLUPART_PORT) : std::nullopt;
  const bool https = url && part(url.get(), CURLUPART_SCHEME) == "https";
  return port && *port != (https ? "443" : "80") ? host + ":" + *port : host;
}

bool sameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// The request's header fields as they go out: the request's own, then those the exchange supplies
// where the request has none, sorted by name, which is how the agent's requests have always been.
Fields outgoingFields(const NSMutableURLRequest& request, std::optional<size_t> length) {
  const auto& own = request.allHTTPHeaderFields();
  Fields fields(own.begin(), own.end());
  const auto supply = [&](const std::string& name, const std::string& value) {
    if (std::none_of(fields.begin(), fields.end(),
                     [&](const auto& field) { return sameName(field.first, name); }))
      fields.emplace_back(name, value);
  };
  supply("Accept", "*/*");
  supply("Connection", "close");
  if (length) supply("Content-Length", std::to_string(*length));
  supply("Host", hostField(request.URL().absoluteString()));
  supply("User-Agent", kUserAgent);
  std::stable_sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) {
    return strcasecmp(a.first.c_str(), b.first.c_str()) < 0;
  });
  return fields;
}

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// libcurl's list of the fields. Its own fields of the same names, and those it would add (Expect,
// Proxy-Connection, a form's Content-Type), are switched off first ("Name:"): so a field of ours
// goes where it sorts, Host included, and the request holds nothing else.
HeaderList headerList(const Fields& fields) {
  HeaderList list;
  const auto add = [&](const std::string& line) {
    // The list's head comes back, or nullptr with the list as it was (out of memory).
    if (curl_slist* head = curl_slist_append(list.get(), line.c_str())) {
      (void)list.release();
      list.reset(head);
    }
  };
  for (const char* off : {"Host:", "Expect:", "Proxy-Connection:", "Content-Type:"}) add(off);
  for (const auto& [name, value] : fields) add(name + (value.empty() ? ";" : ": " + value));
  return list;
}

}  // namespace

std::optional<std::string> httpURL(const std::string& text) {
  const CurlURL url = parsed(text);
  return url ? httpText(url.get()) : std::nullopt;
}

std::optional<std::string> resolvedHTTPURL(const std::string& base, const std::string& reference) {
  const CurlURL url = parsed(base);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  return httpText(url.get());
}

// The handles of one exchange. The easy handle is destroyed first: it points to the field lists.
struct HTTPTransfer::Handles {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{curl_multi_init(),
                                                              curl_multi_cleanup};
  HeaderList fields, proxyFields;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{curl_easy_init(), curl_easy_cleanup};
  BodyReader body;
};

// What has come back so far, and when the exchange last moved a byte.
struct HTTPTransfer::Answer {
  std::map<std::string, std::string> fields;
  size_t headerBytes = 0, headerLines = 0;
  bool complete = false, tooLarge = false;
  Progress progress;
};

// libcurl's callbacks, on the exchange's thread.
struct HTTPTransfer::Callbacks {
  // One line of an answer's header; a blank one ends it, and a final answer's is reported.
  static size_t header(char* buffer, size_t size, size_t count, void* self) {
    auto& transfer = *static_cast<HTTPTransfer*>(self);
    Answer& answer = *transfer.answer_;
    const size_t length = size * count;
    if (answer.complete) return length;  // trailers of a chunked body
    answer.progress.last = Clock::now();
    answer.headerBytes += length;
    answer.tooLarge =
        answer.headerBytes > kMaxHeaderBytes || ++answer.headerLines > kMaxHeaderLines;
    if (answer.tooLarge) return 0;
    std::string_view line(buffer, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      answer.fields.clear();
    } else if (!line.empty()) {
      addField(answer.fields, line);
    } else {
      long status = 0;
      curl_easy_getinfo(transfer.handles_->easy.get(), CURLINFO_RESPONSE_CODE, &status);
      answer.complete = status >= 200;
      if (answer.complete)
        transfer.report_.response(NSHTTPURLResponse(static_cast<int>(status), answer.fields));
      answer.fields.clear();
    }
    return length;
  }

  static size_t body(char* buffer, size_t size, size_t count, void* self) {
    auto& transfer = *static_cast<HTTPTransfer*>(self);
    transfer.answer_->progress.last = Clock::now();
    transfer.report_.data(Data(buffer, size * count));
    return size * count;
  }

  // Called as bytes move and about once a second besides.
  static int progress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                      curl_off_t uploaded) {
    static_cast<HTTPTransfer*>(self)->answer_->progress.moved(downloaded, uploaded);
    return 0;
  }

  // "Name: value", the value without the blanks around it; the first of a name is kept.
  static void addField(std::map<std::string, std::string>& fields, std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view value = line.substr(colon + 1);
    const size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    value = value.substr(0, value.find_last_not_of(" \t") + 1);
    fields.emplace(line.substr(0, colon), value);
  }
};

HTTPTransfer::HTTPTransfer(const NSMutableURLRequest& request,
                           std::chrono::duration<double> idleLimit, TransferReport report)
    : handles_(std::make_unique<Handles>()),
      answer_(std::make_unique<Answer>()),
      body_(request.HTTPBody()),
      idleLimit_(idleLimit),
      report_(std::move(report)) {
  if (!handles_->easy || !handles_->multi) throw std::bad_alloc();
  handles_->body.pieces = body_.pieces();
  const std::string url = request.URL().absoluteString();
  setConnection(url);
  setFields(request, setMethod(request.HTTPMethod()));
  CURL* easy = handles_->easy.get();
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Callbacks::header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Callbacks::body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Callbacks::progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}

void HTTPTransfer::setConnection(const std::string& url) {
  CURL* easy = handles_->easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  // Over TLS libcurl would offer HTTP/2; the exchange is HTTP/1.1 whatever the server.
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // An upload's last short segment goes at once, not after the peer's acknowledgement.
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  trustAuthoritiesOfEnvironment(easy);
}

// The method, and the body read from its pieces; gives the body's length when it is sent, as it
// is (if empty) for the methods that expect one.
std::optional<size_t> HTTPTransfer::setMethod(const std::string& method) {
  CURL* easy = handles_->easy.get();
  if (method != "GET" && method != "HEAD" && method != "POST")
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    return std::nullopt;
  }
  if (body_.empty() && method != "POST" && method != "PUT" && method != "PATCH") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    return std::nullopt;
  }
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &BodyReader::read);
  curl_easy_setopt(easy, CURLOPT_READDATA, &handles_->body);
  return body_.size();
}

void HTTPTransfer::setFields(const NSMutableURLRequest& request, std::optional<size_t> length) {
  CURL* easy = handles_->easy.get();
  handles_->fields = headerList(outgoingFields(request, length));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, handles_->fields.get());
  // https through a proxy goes through a tunnel, asked for with the fields the agent has always
  // sent for it. (Given for plain http, they would go to the proxy besides the request's own.)
  const std::string url = request.URL().absoluteString();
  if (!url.starts_with("https:")) return;
  handles_->proxyFields =
      headerList({{"Accept", "*/*"}, {"Host", hostField(url)}, {"User-Agent", kUserAgent}});
  curl_easy_setopt(easy, CURLOPT_PROXYHEADER, handles_->proxyFields.get());
}

HTTPTransfer::~HTTPTransfer() = default;

void HTTPTransfer::start() {
  std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void HTTPTransfer::stop() {
  stopped_ = true;
  curl_multi_wakeup(handles_->multi.get());
}

void HTTPTransfer::run() {
  // A peer that closes while the body is written must not end the process: the signal stays
  // pending on this thread and goes with it.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  auto outcome = perform();
  if (!stopped_) report_.end(std::move(outcome));
}

// Drives the exchange until it ends, is stopped, or has moved nothing for the idle limit; its
// connection is closed on return.
std::optional<NSError> HTTPTransfer::perform() {
  answer_->progress.last = Clock::now();
  const Ending end =
      drive(handles_->multi.get(), handles_->easy.get(), stopped_, answer_->progress, idleLimit_);
  switch (end.kind) {
    case Ending::Kind::Done:
      return ending(end.code);
    case Ending::Kind::Idle:
      return timedOut();
    case Ending::Kind::Failed:
      return errorFor(CURLE_FAILED_INIT, X509_V_OK);
    case Ending::Kind::Stopped:
      break;
  }
  return std::nullopt;
}

// How an exchange that libcurl ended with the code went: nullopt when a final answer came whole.
std::optional<NSError> HTTPTransfer::ending(int result) const {
  const auto code = static_cast<CURLcode>(result);
  // A header past the caps, or (out of memory) a header line longer than libcurl holds.
  if (answer_->tooLarge || (code == CURLE_OUT_OF_MEMORY && !answer_->complete))
    return badResponse();
  if (code == CURLE_OK) return answer_->complete ? std::nullopt : std::optional(badResponse());
  long certificate = X509_V_OK;
  curl_easy_getinfo(handles_->easy.get(), CURLINFO_SSL_VERIFYRESULT, &certificate);
  return errorFor(code, certificate);
}

}  // namespace platform
