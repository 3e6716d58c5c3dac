// An upload as the upload service reads it: the Content-Type field gives the boundary, the body
// arrives in pieces of any size, the file part streams into the store's spool and is stored when
// its first bytes show an image. The input is a byte that chooses how the body is cut, the
// Content-Type value, a line break and the body.
// Invariants: the reader sees the same parts and the same end whether the body comes whole or in
// pieces; the answer is the one those parts call for; a stored upload holds the bytes of its file
// part, under the name of their SHA-256 and the extension their first bytes show.
#include <unistd.h>

#include <QCryptographicHash>
#include <random>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/kapsho-upload-server/FolderStore.h"
#include "tools/kapsho-upload-server/ImageType.h"
#include "tools/kapsho-upload-server/Multipart.h"
#include "tools/kapsho-upload-server/UploadReceiver.h"

using fuzz_support::shown;
using namespace upload_server;

namespace {

struct Part {
  std::string name, bytes;
  bool operator==(const Part&) const = default;
};

// What a reader handed on, and how the body ended.
struct Reading : PartSink {
  std::vector<Part> parts;
  bool read = true;
  bool complete = false;

  bool partBegins(const std::string& name) override {
    parts.push_back({name, ""});
    return true;
  }
  bool partBytes(const char* data, std::size_t size) override {
    FUZZ_REQUIRE(!parts.empty(), "bytes were handed on before any part began");
    parts.back().bytes.append(data, size);
    return true;
  }
  const Part* first(const std::string& name) const {
    for (const auto& part : parts)
      if (part.name == name) return &part;
    return nullptr;
  }
};

// The pieces a body arrives in, from 1 to 300 bytes each, as the seed has them.
std::vector<std::string_view> inPieces(std::string_view body, unsigned seed) {
  std::vector<std::string_view> pieces;
  std::minstd_rand sizes(seed + 1);
  while (!body.empty()) {
    pieces.push_back(body.substr(0, std::min<std::size_t>(body.size(), 1 + sizes() % 300)));
    body.remove_prefix(pieces.back().size());
  }
  return pieces;
}

Reading readIn(const std::string& boundary, const std::vector<std::string_view>& pieces) {
  Reading reading;
  MultipartReader reader(boundary, reading);
  for (const std::string_view piece : pieces)
    reading.read = reader.read(piece.data(), piece.size()) && reading.read;
  reading.complete = reader.complete();
  return reading;
}

// The status the service answers for a body read so.
int expectedStatus(const Reading& reading) {
  const Part* field = reading.first("app_upload");
  const Part* file = reading.first("userfile");
  if (!reading.read || !reading.complete || !field || field->bytes != "Upload" || !file ||
      file->bytes.empty())
    return 400;
  return imageTypeOf(file->bytes) ? 302 : 415;
}

std::string storedBytes(const FolderStore& store, const std::string& name) {
  ServedImage image = store.open(name);
  FUZZ_REQUIRE(image.kind == ServedImage::Kind::Found, "a stored upload cannot be opened");
  std::string bytes(image.size, '\0');
  FUZZ_REQUIRE(pread(image.file.get(), bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()),
               "a stored upload cannot be read whole");
  return bytes;
}

void checkStored(const FolderStore& store, const StoreOutcome& outcome, const std::string& sent) {
  FUZZ_REQUIRE(outcome.kind == StoreOutcome::Kind::Stored && !outcome.deletionToken.empty(),
               "an image was not stored: " + outcome.text);
  const std::string hash =
      QCryptographicHash::hash(QByteArray::fromStdString(sent), QCryptographicHash::Sha256)
          .toHex()
          .left(ImageStore::kNameDigits)
          .toStdString();
  const std::string extension(imageTypeOf(sent)->extension);
  FUZZ_REQUIRE(outcome.text == hash + extension, "an image of " + std::to_string(sent.size()) +
                                                     " bytes was stored as " + outcome.text +
                                                     ", not " + hash + extension);
  FUZZ_REQUIRE(storedBytes(store, outcome.text) == sent,
               "a stored upload holds other bytes than its file part: " + shown(sent));
  FUZZ_REQUIRE(store.remove(outcome.text, outcome.deletionToken) == Removal::Removed,
               "a stored upload cannot be deleted with its token");
}

const FolderStore& folderStore() {
  static const FolderStore store(fuzz_support::scratchFolder() / "store");
  return store;
}

}  // namespace

FUZZ_TARGET_CHOOSING(seed, input) {
  const std::size_t lineEnd = std::min(input.find('\n'), input.size());
  const FormType form = formTypeOf(input.substr(0, lineEnd));
  if (!form.boundary) return;
  FUZZ_REQUIRE(form.isFormData && !form.boundary->empty() && form.boundary->size() <= 70,
               "a boundary of " + std::to_string(form.boundary->size()) + " bytes was taken");
  const std::string_view body = input.substr(std::min(lineEnd + 1, input.size()));

  const auto cut = inPieces(body, seed);
  const Reading whole = readIn(*form.boundary, {body});
  const Reading pieces = readIn(*form.boundary, cut);
  FUZZ_REQUIRE(
      pieces.parts == whole.parts && pieces.read == whole.read && pieces.complete == whole.complete,
      "a body read in pieces reads otherwise than whole: " + std::to_string(pieces.parts.size()) +
          " parts, " + (pieces.complete ? "complete" : "incomplete") + " against " +
          std::to_string(whole.parts.size()) + " parts, " +
          (whole.complete ? "complete" : "incomplete"));

  std::optional<StoreOutcome> stored;
  UploadReceiver receiver(*form.boundary, folderStore(),
                          [&](const StoreOutcome& outcome, std::size_t) {
                            stored = outcome;
                            return Reply::plain(302, outcome.text);
                          });
  for (const std::string_view piece : cut) receiver.consume(piece.data(), piece.size());
  const Reply reply = receiver.finish();
  const int expected = expectedStatus(whole);
  FUZZ_REQUIRE(reply.status == expected, "the service answered " + std::to_string(reply.status) +
                                             " (" + reply.text + ") where " +
                                             std::to_string(expected) + " was due");
  if (expected == 302) checkStored(folderStore(), *stored, whole.first("userfile")->bytes);
}
