#include "platform/foundation/URLTransfer.h"

#include <openssl/evp.h>
#include <openssl/x509_vfy.h>
#include <signal.h>

#include <algorithm>
#include <string_view>

#include "platform/foundation/CurlSupport.h"

namespace platform {

using namespace curl;

namespace {

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using List = std::unique_ptr<curl_slist, ListDeleter>;

List listOf(const std::vector<std::string>& lines) {
  List list;
  for (const std::string& line : lines)
    if (curl_slist* head = curl_slist_append(list.get(), line.c_str())) {
      (void)list.release();
      list.reset(head);
    }
  return list;
}

// A peer that closes while bytes are written must not end the process: SIGPIPE is held back on
// this thread for the transfer, and one that came meanwhile is taken before it is let through.
class PipeSignalHeld {
 public:
  PipeSignalHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~PipeSignalHeld() {
    if (sigismember(&before_, SIGPIPE)) return;
    const timespec now{};
    while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

 private:
  sigset_t pipe_, before_;
};

// A key's type as ssh names it.
const char* keyTypeName(curl_khtype type) {
  switch (type) {
    case CURLKHTYPE_RSA1:
    case CURLKHTYPE_RSA:
      return "RSA";
    case CURLKHTYPE_DSS:
      return "DSA";
    case CURLKHTYPE_ECDSA:
      return "ECDSA";
    case CURLKHTYPE_ED25519:
      return "ED25519";
    default:
      return "unknown";
  }
}

// "SHA256:" and the unpadded base64 of the key's SHA-256, as ssh shows a fingerprint.
std::string fingerprint(const curl_khkey& key) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(key.key, key.len, digest, &length, EVP_sha256(), nullptr);
  std::string text(4 * ((length + 2) / 3) + 1, '\0');
  text.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, length)));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

// "host:port" of a URL, for messages.
std::string serverOf(CURL* easy) {
  char* host = nullptr;
  long port = 0;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &host);
  CURLU* url = curl_url();
  std::string server;
  char* name = nullptr;
  if (url && host && curl_url_set(url, CURLUPART_URL, host, 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_HOST, &name, 0) == CURLUE_OK) {
    server = name;
    curl_free(name);
  }
  curl_url_cleanup(url);
  curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &port);
  return server + ":" + std::to_string(port);
}

}  // namespace

// The handles, kept for the object's life (the multi handle keeps the connections), and what the
// transfer under way has to hand.
struct URLTransfer::State {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{curl_multi_init(),
                                                              curl_multi_cleanup};
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{curl_easy_init(), curl_easy_cleanup};
  List fields, commands;
  Data bytes;  // holds the pieces the body is read from
  BodyReader body;
  Progress progress;
  char error[CURL_ERROR_SIZE] = "";
  std::string knownHostsFile, hostKeyProblem;
  CURLcode result = CURLE_OK;
  Answer answer;
};

// libcurl's callbacks, on the calling thread.
struct URLTransfer::Callbacks {
  static int progress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                      curl_off_t uploaded) {
    static_cast<State*>(self)->progress.moved(downloaded, uploaded);
    return 0;
  }

  // Only the key the known-hosts file holds for the server passes.
  static int hostKey(CURL* easy, const curl_khkey*, const curl_khkey* found, curl_khmatch match,
                     void* self) {
    State& state = *static_cast<State*>(self);
    if (match == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
    const std::string key =
        std::string(keyTypeName(found->keytype)) + " key " + fingerprint(*found);
    state.hostKeyProblem =
        match == CURLKHMATCH_MISSING
            ? "The SSH host key of " + serverOf(easy) + " is unknown (" + key +
                  "): if that is the server's key, add it to " + state.knownHostsFile
            : "The SSH host key of " + serverOf(easy) + " differs from the one in " +
                  state.knownHostsFile + " (" + key +
                  "): the server's key was changed, or someone is in between";
    return CURLKHSTAT_REJECT;
  }

  // A header line: a status line begins a new answer (after a 100 Continue), "Name: value"
  // adds to it.
  static size_t header(char* buffer, size_t size, size_t count, void* self) {
    State& state = *static_cast<State*>(self);
    const size_t length = size * count;
    state.progress.last = Clock::now();
    const std::string_view line(buffer, length);
    if (line.starts_with("HTTP/")) {
      long status = 0;
      curl_easy_getinfo(state.easy.get(), CURLINFO_RESPONSE_CODE, &status);
      state.answer = {static_cast<int>(status), {}, {}};
    } else if (auto field = headerField(line)) {
      state.answer.headerFields.insert(std::move(*field));
    }
    return length;
  }

  static size_t body(char* buffer, size_t size, size_t count, void* self) {
    State& state = *static_cast<State*>(self);
    std::string& kept = state.answer.body;
    kept.append(buffer,
                std::min(size * count, AnswerBytesKept - std::min(AnswerBytesKept, kept.size())));
    return size * count;
  }
};

URLTransfer::URLTransfer(std::chrono::duration<double> idleLimit)
    : state_(std::make_unique<State>()), idleLimit_(idleLimit) {
  static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curlReady || !state_->multi || !state_->easy) throw std::bad_alloc();
}

URLTransfer::~URLTransfer() = default;

void URLTransfer::cancel() {
  cancelled_ = true;
  curl_multi_wakeup(state_->multi.get());
}

// A fresh start for the handle, which keeps its connections.
void URLTransfer::prepare(const std::string& url, const char* protocols) {
  CURL* easy = state_->easy.get();
  curl_easy_reset(easy);
  state_->fields.reset();
  state_->commands.reset();
  state_->bytes = Data();
  state_->body = BodyReader();
  state_->error[0] = '\0';
  state_->hostKeyProblem.clear();
  state_->result = CURLE_OK;
  state_->answer = Answer();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, state_->error);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Callbacks::progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, state_.get());
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  trustAuthoritiesOfEnvironment(easy);
}

// The host key is always checked, never left to libcurl's defaults.
void URLTransfer::logIn(const std::string& url, const SSHLogin& login) {
  prepare(url, "sftp");
  CURL* easy = state_->easy.get();
  state_->knownHostsFile = login.knownHostsFile;
  curl_easy_setopt(easy, CURLOPT_SSH_KNOWNHOSTS, login.knownHostsFile.c_str());
  curl_easy_setopt(easy, CURLOPT_SSH_KEYFUNCTION, &Callbacks::hostKey);
  curl_easy_setopt(easy, CURLOPT_SSH_KEYDATA, state_.get());
  if (login.privateKeyFile.empty()) {
    curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_AGENT));
    return;
  }
  curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
  curl_easy_setopt(easy, CURLOPT_SSH_PRIVATE_KEYFILE, login.privateKeyFile.c_str());
  // Empty: derived from the private key, rather than looked for in ~/.ssh.
  curl_easy_setopt(easy, CURLOPT_SSH_PUBLIC_KEYFILE, "");
}

std::optional<NSError> URLTransfer::perform() {
  if (cancelled_) return urlError(NSURLErrorCancelled, "cancelled");
  const PipeSignalHeld held;
  state_->progress = Progress();
  const Ending end =
      drive(state_->multi.get(), state_->easy.get(), cancelled_, state_->progress, idleLimit_);
  switch (end.kind) {
    case Ending::Kind::Done:
      state_->result = end.code;
      return end.code == CURLE_OK ? std::nullopt : std::optional(failure(end.code));
    case Ending::Kind::Idle:
      return timedOut();
    case Ending::Kind::Failed:
      return errorFor(CURLE_FAILED_INIT, X509_V_OK);
    case Ending::Kind::Stopped:
      break;
  }
  return urlError(NSURLErrorCancelled, "cancelled");
}

// The network's failures as URL loading words them; the server's own words for the rest.
NSError URLTransfer::failure(int result) const {
  const auto code = static_cast<CURLcode>(result);
  if (!state_->hostKeyProblem.empty())
    return urlError(NSURLErrorServerCertificateUntrusted, state_->hostKeyProblem);
  long certificate = X509_V_OK;
  curl_easy_getinfo(state_->easy.get(), CURLINFO_SSL_VERIFYRESULT, &certificate);
  const NSError error = errorFor(code, certificate);
  if (error.code() != NSURLErrorUnknown) return error;
  return urlError(NSURLErrorUnknown, *state_->error ? state_->error : curl_easy_strerror(code));
}

std::variant<bool, NSError> URLTransfer::fileExists(const std::string& url, const SSHLogin& login) {
  logIn(url, login);
  curl_easy_setopt(state_->easy.get(), CURLOPT_NOBODY, 1L);
  auto error = perform();
  if (!error) return true;
  if (state_->result == CURLE_REMOTE_FILE_NOT_FOUND) return false;
  return *error;
}

std::optional<NSError> URLTransfer::putFile(const std::string& url, const Data& bytes,
                                            const SSHLogin& login,
                                            const std::vector<std::string>& commandsAfter) {
  logIn(url, login);
  CURL* easy = state_->easy.get();
  state_->bytes = bytes;
  state_->body.pieces = state_->bytes.pieces();
  state_->commands = listOf(commandsAfter);
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &BodyReader::read);
  curl_easy_setopt(easy, CURLOPT_READDATA, &state_->body);
  curl_easy_setopt(easy, CURLOPT_NEW_FILE_PERMS, 0644L);
  curl_easy_setopt(easy, CURLOPT_POSTQUOTE, state_->commands.get());
  return perform();
}

std::optional<NSError> URLTransfer::runCommands(const std::string& url, const SSHLogin& login,
                                                const std::vector<std::string>& commands) {
  logIn(url, login);
  state_->commands = listOf(commands);
  curl_easy_setopt(state_->easy.get(), CURLOPT_NOBODY, 1L);
  curl_easy_setopt(state_->easy.get(), CURLOPT_QUOTE, state_->commands.get());
  return perform();
}

std::variant<URLTransfer::Answer, NSError> URLTransfer::send(const NSMutableURLRequest& request,
                                                             const AWSSignature& signature) {
  prepare(request.URL().absoluteString(), "http,https");
  CURL* easy = state_->easy.get();
  const std::string provider = "aws:amz:" + signature.region + ":s3";
  curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, provider.c_str());
  curl_easy_setopt(easy, CURLOPT_USERNAME, signature.accessKeyID.c_str());
  curl_easy_setopt(easy, CURLOPT_PASSWORD, signature.secretAccessKey.c_str());
  // Every field given is signed and sent: none may be empty, as one that switches off a field of
  // libcurl's would be signed and then left out.
  std::vector<std::string> fields;
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    fields.push_back(name + ": " + value);
  if (!signature.sessionToken.empty())
    fields.push_back("x-amz-security-token: " + signature.sessionToken);
  state_->fields = listOf(fields);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, state_->fields.get());
  // A body goes out at once, without waiting for the server to ask for it.
  curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Callbacks::header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, state_.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Callbacks::body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, state_.get());
  const std::string& method = request.HTTPMethod();
  state_->bytes = request.HTTPBody();
  state_->body.pieces = state_->bytes.pieces();
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method == "PUT" || method == "POST") {
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(state_->bytes.size()));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &BodyReader::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, &state_->body);
  }
  if (method != "GET" && method != "HEAD" && method != "PUT")
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (auto error = perform()) return *error;
  return state_->answer;
}

}  // namespace platform
