// URLs: file URLs of paths and URLs made from text.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform {

class NSURL {
 public:
  // A file URL of a path, a relative one taken from the working folder; a folder's URL ends in
  // '/' (the path is looked at).
  static NSURL fileURLWithPath(const std::string& path);
  static NSURL fileURLWithPath(const std::string& path, bool isDirectory);
  // A URL made from text, optionally relative to a base; nullopt when the text is no
  // well-formed URL reference.
  static std::optional<NSURL> URLWithString(const std::string& text);
  static std::optional<NSURL> URLWithString(const std::string& text, const NSURL& base);

  // The text of the URL as given, without its base.
  const std::string& relativeString() const { return string_; }
  // The full text: the relative text resolved against the base, if any.
  std::string absoluteString() const;
  // The path of the relative text, percent-decoded ("ScreenCapture.strings" for a resource
  // relative to its folder).
  std::string relativePath() const;
  // The decoded path of the absolute URL, without a trailing '/' (except for "/").
  std::string path() const;
  bool isFileURL() const;
  std::string description() const { return absoluteString(); }

  bool operator==(const NSURL& other) const { return absoluteString() == other.absoluteString(); }

 private:
  std::string string_;
  std::shared_ptr<const NSURL> base_;
};

}  // namespace platform
