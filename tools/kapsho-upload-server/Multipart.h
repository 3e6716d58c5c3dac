// A multipart/form-data body read as it arrives, as RFC 7578 and RFC 2046 write it: a preamble
// before the first boundary and an epilogue after the last are skipped, parameter names are
// matched without regard to case, and a part without a name is handed on with an empty one.
// Only a part's name is read from its headers; its bytes stream through without being held.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace upload_server {

// What a Content-Type field says of a body: whether its media type is multipart/form-data (the
// whole type, in any case), and its boundary when it names a usable one (1 to 70 bytes).
struct FormType {
  bool isFormData = false;
  std::optional<std::string> boundary;
};
FormType formTypeOf(std::string_view contentType);

// What a reader hands its parts to. Returning false from either stops the reading.
class PartSink {
 public:
  virtual ~PartSink() = default;
  // A part begins; its name is "" when its Content-Disposition names none.
  virtual bool partBegins(const std::string& name) = 0;
  // The next bytes of the current part; a part's bytes may come in any number of pieces.
  virtual bool partBytes(const char* data, std::size_t size) = 0;
};

class MultipartReader {
 public:
  // A part's headers larger than this make the body malformed.
  static constexpr std::size_t kMaxPartHeader = 16 * 1024;

  MultipartReader(const std::string& boundary, PartSink& sink);

  // Reads the next bytes; false once the body is malformed or the sink has stopped, after which
  // nothing more is read.
  bool read(const char* data, std::size_t size);
  // Whether the body ended well: its closing boundary has come, and nothing went wrong.
  bool complete() const { return state_ == State::Epilogue; }

 private:
  enum class State { Preamble, AfterBoundary, Headers, Body, Epilogue, Failed };

  // Each step takes what it can from pending_ and says whether it made progress.
  bool step();
  bool skipPreamble();
  bool readBoundaryEnd();
  bool readHeaders();
  bool readBody();
  bool fail();

  const std::string delimiter_;
  PartSink& sink_;
  State state_ = State::Preamble;
  // Bytes read but not yet taken: at most a delimiter's length held back in a body, at most a
  // part's headers otherwise.
  std::string pending_;
};

}  // namespace upload_server
