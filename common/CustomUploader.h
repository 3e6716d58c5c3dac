// A custom uploader: the small JSON file (.sxcu) that people pass around to describe an image
// host's upload request and how to read its answer. The agent uploads through one, the pane
// shows which one; this is their reader.
//
// A file is read whole when it is loaded: every field's type, the request's method and body, and
// each template (the {json:...} syntax, or the $json:...$ one of files written for the format's
// older versions) is checked then, so that a file that could never upload is refused at once
// with one line naming the field. The body must carry an image: FormURLEncoded, JSON and XML
// bodies are text with no place for the file's bytes, and are refused like None. What needs a
// person at the keyboard ({input}, {prompt}, {select}, {inputbox}) is refused: uploads run
// unattended.
//
// Values of Headers, Arguments and Parameters and the request address's user information are
// secrets: no text this reader makes (an error, an address to record) ever holds them, and
// redact() takes them out of any other text before it is logged.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/foundation/Data.h"

class CustomUploader {
 public:
  // Files larger than this are refused unread.
  static constexpr size_t FileBytesLimit = 1 << 20;
  // An answer's body is read up to this size; a longer one is a failed upload.
  static constexpr size_t AnswerBytesKept = 1 << 20;
  // Values shorter than this are not treated as secrets: flags such as "true" or "json".
  static constexpr size_t SecretBytesLeast = 8;

  // Why a file was refused or an upload failed: one line, free of secrets.
  struct Failure {
    std::string reason;
  };

  // The uploader in the file at the path, or why it is refused ("<path>: <reason>").
  static std::variant<CustomUploader, Failure> load(const std::string& path);
  // The uploader the text describes, or why it is refused: "<field>: <reason>", such as
  // "RequestMethod: GET is not supported: a file needs a body", "Headers: expected an object",
  // "URL: uses {input}, which needs a person at the keyboard", "not JSON: <why> at offset N".
  static std::variant<CustomUploader, Failure> parse(std::string_view text);

  // The file's Name, else the host of its RequestURL.
  const std::string& name() const;

  // What to send for one file. The file's bytes are shared with the body, not copied.
  struct Request {
    std::string method;  // POST, PUT or PATCH
    // RequestURL with the Parameters appended as its query, percent-encoded.
    std::string url = {};
    // The file's Headers, expanded, and the body's Content-Type.
    std::map<std::string, std::string> headerFields = {};
    platform::Data body = {};
  };
  // The request carries the file as Body says: the file's bytes under FileFormName among the
  // Arguments (multipart/form-data, with a boundary found in none of them and the file's type
  // told by its first bytes), or the bytes alone (Binary). fileName is the name the server is
  // given and what {filename} expands to.
  Request requestForFile(const platform::Data& file, const std::string& fileName) const;

  // The server's answer to that request.
  struct Answer {
    int statusCode = 0;
    // The header fields by name, as the server sent them.
    std::map<std::string, std::string> headerFields;
    // At most AnswerBytesKept bytes are read; more make the upload fail.
    platform::Data body;
    // The address the answer came from, after redirects: what {responseurl} gives.
    std::string url;
  };
  // Addresses of an uploaded file, each an http or https URL.
  struct Links {
    std::string url;
    std::string thumbnailURL = {};  // empty when the file names none or it cannot be made
    std::string deletionURL = {};   // likewise
  };
  // The addresses the answer gives through URL, ThumbnailURL and DeletionURL (an empty URL means
  // the whole answer), or why the upload failed: a status other than 2xx, an answer too large,
  // a URL that cannot be read from the answer or is not http(s), or one that would carry a
  // secret outside its host (a value may name the host the files are served from; the request's
  // own user information is taken out of the address). A failure gives the ErrorMessage template's
  // text when it yields any, as in "Upload got 413 response: File too large".
  std::variant<Links, Failure> linksForAnswer(const Answer& answer,
                                              const std::string& fileName) const;

  // The text with every secret of this uploader replaced by "***".
  std::string redact(std::string_view text) const;

  struct Definition;

 private:
  explicit CustomUploader(std::shared_ptr<const Definition> definition)
      : definition_(std::move(definition)) {}
  std::shared_ptr<const Definition> definition_;
};
