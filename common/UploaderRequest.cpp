// The request a custom uploader makes for one file.
#include <strings.h>

#include <QByteArray>
#include <algorithm>
#include <functional>
#include <set>

#include "common/CustomUploaderDefinition.h"

using uploader::Expansion;

namespace {

const std::string BoundaryBase = "KapshoFormBoundary";

std::string_view textOf(const platform::Data& data) {
  return {reinterpret_cast<const char*>(data.bytes()), data.size()};
}

void append(platform::Data& body, std::string_view text) {
  body.append(text.data(), text.size());
}

std::string percentEncoded(std::string_view text) {
  return QByteArray(text.data(), qsizetype(text.size())).toPercentEncoding().toStdString();
}

std::string joinedPairs(const std::vector<std::pair<std::string, std::string>>& pairs,
                        const std::function<std::string(std::string_view)>& encode) {
  std::string joined;
  for (const auto& [name, value] : pairs)
    joined += (joined.empty() ? "" : "&") + encode(name) + "=" + encode(value);
  return joined;
}

// The query goes before any fragment, after any query the address has.
std::string withQuery(std::string address, const std::string& query) {
  if (query.empty()) return address;
  const size_t fragment = std::min(address.find('#'), address.size());
  const size_t question = address.find('?');
  const bool joins = question < fragment && fragment > question + 1 && address[fragment - 1] != '&';
  const std::string separator = question >= fragment ? "?" : joins ? "&" : "";
  return address.insert(fragment, separator + query);
}

std::vector<std::pair<std::string, std::string>> expanded(const NamedTemplates& templates,
                                                          const Expansion& expansion) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& [name, value] : templates) pairs.emplace_back(name, value.expand(expansion));
  return pairs;
}

// A header value is one line: a file name with a line break in it must not start a new field.
std::string oneLine(std::string value) {
  std::replace_if(
      value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
  return value;
}

// What the form says of a name inside its quotes: the bytes as they are but for the three that
// could end the quotes or the line, written as browsers write them.
std::string quotedName(std::string_view name) {
  std::string quoted;
  for (char c : name)
    quoted += c == '"' ? "%22" : c == '\r' ? "%0D" : c == '\n' ? "%0A" : std::string(1, c);
  return quoted;
}

// The file's type told by its first bytes, as the image hosts tell it; else plain bytes.
std::string contentTypeOf(std::string_view bytes) {
  static const std::vector<std::pair<std::string_view, std::string>> Signatures = {
      {std::string_view("\x89PNG\r\n\x1a\n", 8), "image/png"},
      {"\xff\xd8\xff", "image/jpeg"},
      {"GIF87a", "image/gif"},
      {"GIF89a", "image/gif"},
      {std::string_view("II*\0", 4), "image/tiff"},
      {std::string_view("MM\0*", 4), "image/tiff"},
      {"BM", "image/bmp"}};
  for (const auto& [signature, type] : Signatures)
    if (bytes.starts_with(signature)) return type;
  if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP")
    return "image/webp";
  return "application/octet-stream";
}

// A boundary found in none of the body's texts: the base and the least number that no
// occurrence of the base in them goes on with.
std::string boundaryFor(const std::vector<std::string_view>& texts) {
  std::set<std::string> taken;
  const std::boyer_moore_horspool_searcher searcher(BoundaryBase.begin(), BoundaryBase.end());
  for (std::string_view text : texts) {
    for (auto at = std::search(text.begin(), text.end(), searcher); at != text.end();
         at = std::search(at + 1, text.end(), searcher)) {
      std::string digits;
      for (auto digit = at + BoundaryBase.size();
           digit != text.end() && digits.size() < 20 && *digit >= '0' && *digit <= '9'; ++digit) {
        digits += *digit;
        taken.insert(digits);
      }
    }
  }
  size_t number = 0;
  while (taken.contains(std::to_string(number))) ++number;
  return BoundaryBase + std::to_string(number);
}

void setDefaultHeader(std::map<std::string, std::string>& fields, const std::string& name,
                      const std::string& value) {
  for (const auto& [field, given] : fields)
    if (strcasecmp(field.c_str(), name.c_str()) == 0) return;
  fields[name] = value;
}

void replaceHeader(std::map<std::string, std::string>& fields, const std::string& name,
                   const std::string& value) {
  std::erase_if(fields, [&](const auto& field) {
    return strcasecmp(field.first.c_str(), name.c_str()) == 0;
  });
  fields[name] = value;
}

platform::Data multipartBody(const CustomUploader::Definition& definition,
                             const std::vector<std::pair<std::string, std::string>>& arguments,
                             const platform::Data& file, const std::string& fileName,
                             std::string& boundary) {
  std::vector<std::string_view> texts = {textOf(file), fileName};
  for (const auto& [name, value] : arguments) texts.insert(texts.end(), {name, value});
  boundary = boundaryFor(texts);
  platform::Data body;
  for (const auto& [name, value] : arguments)
    append(body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                     quotedName(name) + "\"\r\n\r\n" + value + "\r\n");
  append(body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                   quotedName(definition.fileFormName) + "\"; filename=\"" + quotedName(fileName) +
                   "\"\r\nContent-Type: " + contentTypeOf(textOf(file)) + "\r\n\r\n");
  body.append(file);
  append(body, "\r\n--" + boundary + "--\r\n");
  return body;
}

}  // namespace

CustomUploader::Request CustomUploader::requestForFile(const platform::Data& file,
                                                       const std::string& fileName) const {
  const Definition& definition = *definition_;
  const Expansion expansion{.fileName = fileName};
  Request request{.method = definition.method};
  request.url = withQuery(definition.requestURL.expand(expansion),
                          joinedPairs(expanded(definition.parameters, expansion), percentEncoded));
  for (const auto& [name, value] : expanded(definition.headers, expansion))
    // The length is the body's, whatever the file says.
    if (strcasecmp(name.c_str(), "Content-Length") != 0)
      request.headerFields[name] = oneLine(value);

  switch (definition.body) {
    case UploadBody::MultipartFormData: {
      std::string boundary;
      request.body = multipartBody(definition, expanded(definition.arguments, expansion), file,
                                   fileName, boundary);
      replaceHeader(request.headerFields, "Content-Type",
                    "multipart/form-data; boundary=" + boundary);
      break;
    }
    case UploadBody::Binary:
      request.body = file;
      setDefaultHeader(request.headerFields, "Content-Type", contentTypeOf(textOf(file)));
      break;
  }
  return request;
}
