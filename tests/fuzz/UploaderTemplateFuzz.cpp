// Custom uploader templates, read as a file's field is read and expanded for a request and for an
// answer. The input's first byte chooses the syntax ({json:...} or the older $json:...$, whose
// $regex:N$ names the file's RegexList); then come the template, a NUL byte and the answer's body.
// Invariants: a template is read or refused, and expanded or refused, with a TemplateError alone;
// one that reads nothing of the answer expands while the request is made, when there is none.
#include "common/UploaderTemplate.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzz_support::shown;
using namespace uploader;

namespace {

const std::vector<Regex>& regexList() {
  static const std::vector<Regex> list = {Regex("(https?://\\S+)"), Regex("(?<id>\\w+)-(\\d+)")};
  return list;
}

}  // namespace

FUZZ_TARGET_CHOOSING(choice, input) {
  const Syntax syntax = choice & 1 ? Syntax::Dollars : Syntax::Braces;
  const std::size_t end = std::min(input.find('\0'), input.size());
  const std::string_view text = input.substr(0, end);
  const std::string_view body = input.substr(std::min(end + 1, input.size()));
  Template parsed;
  try {
    parsed = Template::parse(text, syntax, regexList());
  } catch (const TemplateError&) {
    return;
  }
  if (!parsed.readsAnswer()) {
    try {
      parsed.expand({.fileName = "Picture 1.png"});
    } catch (const TemplateError& error) {
      fuzz_support::broken("a template that reads no answer cannot be expanded without one (" +
                           std::string(error.what()) + "): " + shown(text));
    }
  }
  const std::map<std::string, std::string> fields = {{"Location", "https://i.example/a.png"},
                                                     {"X-Id", std::string(body.substr(0, 40))}};
  const AnswerText answer{
      .body = body, .url = "https://up.example/upload", .headerFields = &fields, .response = body};
  try {
    parsed.expand({.fileName = "Picture 1.png", .answer = &answer});
  } catch (const TemplateError&) {
  }
}
