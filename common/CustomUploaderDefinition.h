// What a custom uploader file says, once read and checked: shared by the reader, the request
// and the answer.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/CustomUploader.h"
#include "common/UploaderTemplate.h"

// The bodies that can carry an image: the file among form fields, or the file alone.
enum class UploadBody { MultipartFormData, Binary };

// What {response} and a URL left empty read in files of the older versions (ResponseType).
enum class ResponseText { Body, RedirectionURL, Headers, LocationHeader };

using NamedTemplates = std::vector<std::pair<std::string, uploader::Template>>;

struct CustomUploader::Definition {
  std::string name;
  std::string method;
  uploader::Template requestURL;
  // "user:password" of RequestURL, empty when it names none.
  std::string requestUserInfo;
  NamedTemplates parameters, headers, arguments;
  UploadBody body = UploadBody::MultipartFormData;
  std::string fileFormName;
  ResponseText response = ResponseText::Body;
  uploader::Template url, thumbnailURL, deletionURL, errorMessage;
  // Longest first, so that a secret inside another goes with it.
  std::vector<std::string> secrets;
};
