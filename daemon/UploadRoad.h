// Which way a screenshot goes, chosen by the agent's settings as they are when its upload starts:
// the built-in request to the upload host, the request a custom uploader file describes, or a
// destination of the user's own (an SFTP folder, a bucket), which wins over the other two. Each
// kind of upload is one alternative here and one branch where the controller dispatches.
#pragma once

#include <string>
#include <variant>

#include "common/Destination.h"
#include "platform/foundation/UserDefaults.h"

// No "Custom Uploader", or an empty one.
struct BuiltInUpload {};
// The custom uploader file to read for this upload.
struct CustomUploaderUpload {
  std::string path;
};
// A destination's settings, checked when the upload starts.
struct DestinationUpload {
  Destination::Settings settings;
};
// Settings that name no way to upload: the upload fails, saying why.
struct UnusableUploadSettings {
  std::string reason;
};

using UploadRoad =
    std::variant<BuiltInUpload, CustomUploaderUpload, DestinationUpload, UnusableUploadSettings>;

UploadRoad uploadRoadFor(const platform::NSUserDefaults& defaults);
