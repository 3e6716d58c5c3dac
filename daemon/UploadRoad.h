// Which way a screenshot goes, chosen by the agent's settings as they are when its upload starts:
// the built-in request to the upload host, or the request a custom uploader file describes. Each
// kind of upload is one alternative here and one branch where the controller dispatches.
#pragma once

#include <string>
#include <variant>

#include "platform/foundation/UserDefaults.h"

// No "Custom Uploader", or an empty one.
struct BuiltInUpload {};
// The custom uploader file to read for this upload.
struct CustomUploaderUpload {
  std::string path;
};
// Settings that name no way to upload: the upload fails, saying why.
struct UnusableUploadSettings {
  std::string reason;
};

using UploadRoad = std::variant<BuiltInUpload, CustomUploaderUpload, UnusableUploadSettings>;

UploadRoad uploadRoadFor(const platform::NSUserDefaults& defaults);
