// Custom uploader templates: text with calls such as {json:files[0].url}, or $json:files[0].url$
// in files written for the format's older versions. A template is read once, when its file is
// loaded, so that a bad call refuses the file; it is expanded for each upload.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/AnswerReaders.h"

namespace uploader {

enum class Syntax {
  Braces,   // {name:argument|argument}, with \{ \} \| \\ as escapes; calls nest
  Dollars,  // $name:argument$, with \$ \\ as escapes; $regex:N$ names the file's RegexList
};

// The upload answer that the answer-reading calls read.
struct AnswerText {
  std::string_view body = {};
  // The address the answer came from, after redirects.
  std::string_view url = {};
  const std::map<std::string, std::string>* headerFields = nullptr;
  // What {response} gives and what json, xml and regex read when given no input.
  std::string_view response = {};
};

struct Expansion {
  std::string_view fileName = {};
  // nullptr while the request is being made.
  const AnswerText* answer = nullptr;
};

class Template {
 public:
  struct Node;

  Template() = default;
  explicit Template(std::vector<Node> nodes);
  // Throws TemplateError naming the call at fault. regexList: the file's RegexList.
  static Template parse(std::string_view text, Syntax syntax, const std::vector<Regex>& regexList);
  // Whether the text holds what looks like a call of the syntax (it need not be a good one).
  static bool looksLikeCalls(std::string_view text, Syntax syntax);

  bool empty() const;
  // Whether some call reads the answer: json, xml, regex, response, responseurl, header.
  bool readsAnswer() const;
  // Throws TemplateError when a call cannot give its text.
  std::string expand(const Expansion& expansion) const;
  // What goes out as written, to be kept out of logs: the template's literal texts and the
  // base64 encodings of literal texts.
  std::vector<std::string> fixedTexts() const;

 private:
  std::shared_ptr<const std::vector<Node>> nodes_;
};

}  // namespace uploader
