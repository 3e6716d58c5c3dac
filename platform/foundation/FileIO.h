// Whole-file reads, atomic writes, and paths.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// dataWithContentsOfFile: the bytes of a regular file as they are now, in one piece: a large file
// mapped where it can be (Data::withMappedFile), else read once to its end (in more pieces only
// when it grew meanwhile). nullopt when it cannot be read or is no regular file: a FIFO or a
// device is turned down without waiting for it.
std::optional<Data> dataWithContentsOfFile(const std::string& path);
std::optional<std::string> contentsOfFile(const std::string& path);

// Writes through a temporary file in the same folder, fsync, rename, and fsync of the folder,
// so that readers see the old contents or the new, never a part. Creates missing folders.
bool writeFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error = nullptr);

// stringByAppendingPathComponent: the path and the component joined by one '/', with runs of
// '/' made one and no '/' at the end ("/a//b/" and "c" give "/a/b/c"; "" and "c" give "c").
std::string stringByAppendingPathComponent(const std::string& path, const std::string& component);

}  // namespace platform
