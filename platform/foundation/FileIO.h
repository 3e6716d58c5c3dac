// Whole-file reads, atomic writes, and paths.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

std::optional<std::string> contentsOfFile(const std::string& path);
// dataWithContentsOfFile: the file's bytes, read into a buffer of the file's size.
std::optional<Data> dataWithContentsOfFile(const std::string& path);

// Writes through a temporary file in the same folder, fsync, rename, and fsync of the folder,
// so that readers see the old contents or the new, never a part. Creates missing folders.
bool writeFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error = nullptr);

// stringByAppendingPathComponent: the path and the component joined by one '/', with runs of
// '/' made one and no '/' at the end ("/a//b/" and "c" give "/a/b/c"; "" and "c" give "c").
std::string stringByAppendingPathComponent(const std::string& path, const std::string& component);

}  // namespace platform
