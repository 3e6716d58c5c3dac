// Reading and expanding custom uploader templates in both syntaxes.
#include "common/UploaderTemplate.h"

#include <strings.h>

#include <QByteArray>
#include <algorithm>
#include <cctype>
#include <optional>
#include <random>

namespace uploader {

namespace {

// Calls nest this deep at most: a file is a few lines, not a stack to exhaust.
constexpr int MaximumNesting = 16;

enum class Kind { Text, Response, ResponseURL, Header, Json, Xml, Regex, FileName, Random, Base64 };

const std::map<std::string, Kind, std::less<>> Calls = {
    {"response", Kind::Response}, {"responseurl", Kind::ResponseURL},
    {"header", Kind::Header},     {"json", Kind::Json},
    {"xml", Kind::Xml},           {"regex", Kind::Regex},
    {"filename", Kind::FileName}, {"random", Kind::Random},
    {"base64", Kind::Base64},
};
// Calls that stop an upload to ask the person at the keyboard: an agent uploads unattended.
const std::vector<std::string_view> InteractiveCalls = {"input", "inputbox", "prompt", "select",
                                                        "outputbox"};

bool isKnownName(std::string_view name) {
  return Calls.contains(name) || std::find(InteractiveCalls.begin(), InteractiveCalls.end(),
                                           name) != InteractiveCalls.end();
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return lower;
}

// Where the name that starts at `from` ends: a letter, then letters and digits (base64).
size_t nameEnd(std::string_view text, size_t from) {
  size_t end = from;
  if (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end])))
    while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
  return end;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string base64(std::string_view text) {
  return QByteArray(text.data(), qsizetype(text.size())).toBase64().toStdString();
}

}  // namespace

struct Template::Node {
  Kind kind = Kind::Text;
  // The text of a Text node, a header's name, a regex's group.
  std::string text = {};
  // A json, xml or regex call's input when it names one; the choices of random; base64's text.
  std::vector<Template> arguments = {};
  std::optional<JsonPath> json = {};
  std::optional<XPath> xpath = {};
  std::optional<Regex> regex = {};
};

namespace {

using Node = Template::Node;

Template make(std::vector<Node> nodes) {
  return Template(std::move(nodes));
}

// The call as the file's syntax writes it, for messages.
std::string shown(std::string_view name, Syntax syntax) {
  return syntax == Syntax::Braces ? "{" + std::string(name) + "}" : "$" + std::string(name) + "$";
}

// A call's argument that must be plain text: a path, a pattern, a group, a header's name.
std::string plainText(const std::vector<Node>& nodes, std::string_view call, Syntax syntax) {
  std::string text;
  for (const auto& node : nodes) {
    if (node.kind != Kind::Text)
      throw TemplateError(shown(call, syntax) + " takes no call in that argument");
    text += node.text;
  }
  return text;
}

Node callNode(std::string_view name, std::vector<std::vector<Node>> arguments, Syntax syntax) {
  if (std::find(InteractiveCalls.begin(), InteractiveCalls.end(), name) != InteractiveCalls.end())
    throw TemplateError("uses " + shown(name, syntax) + ", which needs a person at the keyboard");
  const auto call = Calls.find(name);
  if (call == Calls.end()) throw TemplateError("unknown call " + shown(name, syntax));
  Node node{.kind = call->second};
  const auto count = [&](size_t least, size_t most) {
    if (arguments.size() < least || arguments.size() > most)
      throw TemplateError(shown(name, syntax) + " takes " +
                          (least == most ? std::to_string(least)
                                         : std::to_string(least) + " to " + std::to_string(most)) +
                          " argument" + (most == 1 ? "" : "s") + ", not " +
                          std::to_string(arguments.size()));
  };
  const auto takeInput = [&](size_t ownArguments) {
    if (arguments.size() > ownArguments) {
      node.arguments.push_back(make(std::move(arguments.front())));
      arguments.erase(arguments.begin());
    }
  };
  switch (node.kind) {
    case Kind::Response:
    case Kind::ResponseURL:
    case Kind::FileName:
      count(0, 0);
      break;
    case Kind::Header:
      count(1, 1);
      node.text = plainText(arguments[0], name, syntax);
      break;
    case Kind::Json:
      count(1, 2);
      takeInput(1);
      node.json.emplace(plainText(arguments[0], name, syntax));
      break;
    case Kind::Xml:
      count(1, 2);
      takeInput(1);
      node.xpath.emplace(plainText(arguments[0], name, syntax));
      break;
    case Kind::Regex:
      count(1, 3);
      takeInput(2);
      node.regex.emplace(plainText(arguments[0], name, syntax));
      if (arguments.size() == 2) node.text = plainText(arguments[1], name, syntax);
      node.regex->requireGroup(node.text);
      break;
    case Kind::Random:
      count(1, SIZE_MAX);
      for (auto& choice : arguments) node.arguments.push_back(make(std::move(choice)));
      break;
    case Kind::Base64:
      count(1, 1);
      node.arguments.push_back(make(std::move(arguments[0])));
      break;
    case Kind::Text:
      break;
  }
  return node;
}

void flush(std::string& text, std::vector<Node>& nodes) {
  if (!text.empty()) nodes.push_back(Node{.kind = Kind::Text, .text = std::move(text)});
  text.clear();
}

class BraceReader {
 public:
  explicit BraceReader(std::string_view text) : text_(text) {}

  std::vector<Node> sequence(int depth) {
    std::vector<Node> nodes;
    std::string literal;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\\' && pos_ + 1 < text_.size() &&
          std::string_view("{}|\\").find(text_[pos_ + 1]) != std::string_view::npos) {
        literal += text_[pos_ + 1];
        pos_ += 2;
      } else if (depth > 0 && (c == '|' || c == '}')) {
        break;
      } else if (c == '{' && callStarts()) {
        flush(literal, nodes);
        nodes.push_back(call(depth + 1));
      } else {
        literal += c;
        ++pos_;
      }
    }
    flush(literal, nodes);
    return nodes;
  }

 private:
  // A '{' that no name and ':' or '}' follow is text (braces in an address or a header value).
  bool callStarts() const {
    const size_t end = nameEnd(text_, pos_ + 1);
    return end > pos_ + 1 && end < text_.size() && (text_[end] == ':' || text_[end] == '}');
  }

  Node call(int depth) {
    if (depth > MaximumNesting) throw TemplateError("calls nest too deeply");
    const size_t end = nameEnd(text_, pos_ + 1);
    const std::string name = lowercase(text_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end;
    std::vector<std::vector<Node>> arguments;
    if (text_[pos_] == ':') {
      do {
        ++pos_;
        arguments.push_back(sequence(depth));
      } while (pos_ < text_.size() && text_[pos_] == '|');
      if (pos_ >= text_.size()) throw TemplateError(shown(name, Syntax::Braces) + " is not closed");
    }
    ++pos_;
    return callNode(name, std::move(arguments), Syntax::Braces);
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::vector<Node> textNodes(std::string_view text) {
  std::vector<Node> nodes;
  if (!text.empty()) nodes.push_back(Node{.kind = Kind::Text, .text = std::string(text)});
  return nodes;
}

// The old syntax's arguments: random's choices split at '|', any other call's text whole. There
// are no escapes inside a call.
std::vector<std::vector<Node>> oldArguments(std::string_view name, std::string_view text) {
  if (name != "random") return {textNodes(text)};
  std::vector<std::vector<Node>> choices;
  size_t from = 0;
  for (size_t bar = text.find('|');; bar = text.find('|', from)) {
    choices.push_back(
        textNodes(text.substr(from, bar == std::string_view::npos ? bar : bar - from)));
    if (bar == std::string_view::npos) return choices;
    from = bar + 1;
  }
}

// $N$, $N,G$ (the oldest files), $regex:N$, $regex:N,G$, $regex:N|G$: a group of the Nth regex
// of the file's RegexList, counted from 1.
// `call` is what the file wrote between the dollars, for messages.
Node listedRegex(std::string_view call, std::string_view reference,
                 const std::vector<Regex>& regexList) {
  const size_t separator = reference.find_first_of(",|");
  const std::string_view index = reference.substr(0, separator);
  if (!allDigits(index) || index.size() > 4 || std::stoul(std::string(index)) == 0 ||
      std::stoul(std::string(index)) > regexList.size())
    throw TemplateError("$" + std::string(call) + "$ names no regex of the RegexList");
  Node node{.kind = Kind::Regex, .regex = regexList[std::stoul(std::string(index)) - 1]};
  if (separator != std::string_view::npos) node.text = reference.substr(separator + 1);
  node.regex->requireGroup(node.text);
  return node;
}

bool isDollarCall(std::string_view inside) {
  const size_t name = nameEnd(inside, 0);
  if (name > 0) return name == inside.size() || inside[name] == ':';
  const size_t separator = std::min(inside.find_first_of(",|"), inside.size());
  return allDigits(inside.substr(0, separator));
}

Node dollarCall(std::string_view inside, const std::vector<Regex>& regexList) {
  if (std::isdigit(static_cast<unsigned char>(inside[0])))
    return listedRegex(inside, inside, regexList);
  const size_t colon = inside.find(':');
  const std::string name = lowercase(inside.substr(0, colon));
  const std::string_view argument =
      colon == std::string_view::npos ? std::string_view() : inside.substr(colon + 1);
  if (name == "regex") return listedRegex(inside, argument, regexList);
  if (colon == std::string_view::npos) return callNode(name, {}, Syntax::Dollars);
  return callNode(name, oldArguments(name, argument), Syntax::Dollars);
}

std::vector<Node> readDollars(std::string_view text, const std::vector<Regex>& regexList) {
  std::vector<Node> nodes;
  std::string literal;
  for (size_t pos = 0; pos < text.size();) {
    const char c = text[pos];
    if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '$' || text[pos + 1] == '\\')) {
      literal += text[pos + 1];
      pos += 2;
      continue;
    }
    const size_t close = c == '$' ? text.find('$', pos + 1) : std::string_view::npos;
    if (close != std::string_view::npos && isDollarCall(text.substr(pos + 1, close - pos - 1))) {
      flush(literal, nodes);
      nodes.push_back(dollarCall(text.substr(pos + 1, close - pos - 1), regexList));
      pos = close + 1;
      continue;
    }
    literal += c;
    ++pos;
  }
  flush(literal, nodes);
  return nodes;
}

}  // namespace

Template::Template(std::vector<Node> nodes)
    : nodes_(std::make_shared<const std::vector<Node>>(std::move(nodes))) {}

Template Template::parse(std::string_view text, Syntax syntax,
                         const std::vector<Regex>& regexList) {
  if (syntax == Syntax::Dollars) return Template(readDollars(text, regexList));
  BraceReader reader(text);
  return Template(reader.sequence(0));
}

bool Template::looksLikeCalls(std::string_view text, Syntax syntax) {
  const char open = syntax == Syntax::Braces ? '{' : '$';
  for (size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at + 1)) {
    const size_t end = nameEnd(text, at + 1);
    const bool closes = end < text.size() &&
                        (text[end] == ':' || text[end] == (syntax == Syntax::Braces ? '}' : '$'));
    if (closes && isKnownName(lowercase(text.substr(at + 1, end - at - 1)))) return true;
  }
  return false;
}

bool Template::empty() const {
  return !nodes_ || nodes_->empty();
}

namespace {

bool nodeReadsAnswer(const Node& node) {
  switch (node.kind) {
    case Kind::Response:
    case Kind::ResponseURL:
    case Kind::Header:
    case Kind::Json:
    case Kind::Xml:
    case Kind::Regex:
      return true;
    default:
      return std::any_of(node.arguments.begin(), node.arguments.end(),
                         [](const Template& argument) { return argument.readsAnswer(); });
  }
}

const AnswerText& answerOf(const Expansion& expansion) {
  if (!expansion.answer) throw TemplateError("reads the answer, which does not exist yet");
  return *expansion.answer;
}

std::string headerField(const AnswerText& answer, const std::string& name) {
  if (answer.headerFields)
    for (const auto& [field, value] : *answer.headerFields)
      if (strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  throw TemplateError("the answer has no header field " + name);
}

std::string input(const Node& node, const Expansion& expansion) {
  if (node.arguments.empty()) return std::string(answerOf(expansion).response);
  return node.arguments.front().expand(expansion);
}

const Template& randomChoice(const std::vector<Template>& choices) {
  thread_local std::mt19937 generator{std::random_device{}()};
  return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(generator)];
}

std::string callText(const Node& node, const Expansion& expansion) {
  switch (node.kind) {
    case Kind::Response:
      return std::string(answerOf(expansion).response);
    case Kind::ResponseURL:
      return std::string(answerOf(expansion).url);
    case Kind::Header:
      return headerField(answerOf(expansion), node.text);
    case Kind::Json:
      return node.json->valueIn(input(node, expansion));
    case Kind::Xml:
      return node.xpath->valueIn(input(node, expansion));
    case Kind::Regex:
      return node.regex->groupIn(input(node, expansion), node.text);
    case Kind::FileName:
      return std::string(expansion.fileName);
    case Kind::Random:
      return randomChoice(node.arguments).expand(expansion);
    case Kind::Base64:
      return base64(node.arguments.front().expand(expansion));
    case Kind::Text:
      break;
  }
  return node.text;
}

}  // namespace

bool Template::readsAnswer() const {
  return nodes_ && std::any_of(nodes_->begin(), nodes_->end(), nodeReadsAnswer);
}

std::string Template::expand(const Expansion& expansion) const {
  std::string text;
  if (!nodes_) return text;
  for (const auto& node : *nodes_) {
    text += node.kind == Kind::Text ? node.text : callText(node, expansion);
  }
  return text;
}

std::vector<std::string> Template::fixedTexts() const {
  std::vector<std::string> texts;
  if (!nodes_) return texts;
  for (const auto& node : *nodes_) {
    if (node.kind == Kind::Text) texts.push_back(node.text);
    // What base64 makes of plain text goes out as written, too.
    if (node.kind == Kind::Base64) {
      const auto& plain = *node.arguments.front().nodes_;
      if (plain.size() == 1 && plain.front().kind == Kind::Text)
        texts.push_back(base64(plain.front().text));
    }
    for (const auto& argument : node.arguments) {
      const auto inner = argument.fixedTexts();
      texts.insert(texts.end(), inner.begin(), inner.end());
    }
  }
  return texts;
}

}  // namespace uploader
