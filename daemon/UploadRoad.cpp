// The choice of an upload's road, and the controller's dispatch to it.
#include "daemon/UploadRoad.h"

#include "common/UploadersFolder.h"
#include "common/constants.h"
#include "daemon/KapshoController.h"

using namespace platform;

UploadRoad uploadRoadFor(const NSUserDefaults& defaults) {
  if (auto settings = Destination::settingsIn(
          NSUserDefaults::persistentDomainForName(defaults.domainName()).value_or(Dictionary{})))
    return DestinationUpload{std::move(*settings)};
  const auto setting = defaults.objectForKey(CustomUploaderKey);
  if (!setting) return BuiltInUpload{};
  const std::string* path = setting->string();
  if (!path) return UnusableUploadSettings{CustomUploaderKey + ": expected a file's path"};
  if (path->empty()) return BuiltInUpload{};
  return CustomUploaderUpload{customUploaderPath(*path)};
}

namespace {

template <class... Roads>
struct Branches : Roads... {
  using Roads::operator()...;
};

}  // namespace

bool KapshoController::uploadAsSettingsSay(const Data& file, const std::string& path) {
  return std::visit(Branches{[](const BuiltInUpload&) { return false; },
                             [&](const CustomUploaderUpload& road) {
                               uploadThroughCustomUploader(road.path, file, path);
                               return true;
                             },
                             [&](const DestinationUpload& road) {
                               uploadToDestination(road.settings, file, path);
                               return true;
                             },
                             [&](const UnusableUploadSettings& road) {
                               uploadCouldNotStart(road.reason);
                               return true;
                             }},
                    uploadRoadFor(NSUserDefaults::standardUserDefaults()));
}
