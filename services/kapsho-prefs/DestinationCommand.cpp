#include "services/kapsho-prefs/DestinationCommand.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "common/DestinationRoads.h"
#include "common/constants.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace kapsho_prefs {

namespace {

// The smallest picture: one transparent pixel.
constexpr unsigned char TestPicture[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9c, 0x63, 0xb0, 0xeb, 0xbb, 0xf6, 0x1f, 0x00, 0x05, 0x52, 0x02, 0xa2, 0x18, 0xcc,
    0x95, 0x4e, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// The settings the arguments give, or why they are no command: nullopt for bad usage.
std::optional<Destination::Settings> settingsOf(const std::vector<std::string>& arguments,
                                                bool* test) {
  if (arguments.empty() || arguments[0].starts_with("--")) return std::nullopt;
  Destination::Settings settings;
  settings.url = arguments[0];
  const std::map<std::string, std::string*> valued = {
      {"--address", &settings.address}, {"--key", &settings.keyFile},
      {"--keys", &settings.keysFile},   {"--endpoint", &settings.endpoint},
      {"--region", &settings.region},   {"--naming", &settings.naming}};
  for (size_t at = 1; at < arguments.size(); ++at) {
    const std::string& option = arguments[at];
    if (option == "--test") {
      *test = true;
    } else if (option == "--public-read") {
      settings.publicRead = true;
    } else if (const auto found = valued.find(option);
               found != valued.end() && at + 1 < arguments.size()) {
      *found->second = arguments[++at];
    } else {
      return std::nullopt;
    }
  }
  // The agent runs in a folder of its own: the files are named whole.
  for (std::string* file : {&settings.keyFile, &settings.keysFile})
    if (!file->empty()) *file = std::filesystem::absolute(*file).lexically_normal().string();
  return settings;
}

// A picture put at the destination under a random name, as the agent would put a screenshot.
PutOutcome testUpload(Destination::Settings settings) {
  settings.naming = "random";
  const auto destination = Destination::make(settings);
  if (const auto* failed = std::get_if<Destination::Failure>(&destination)) return *failed;
  URLTransfer transfer;
  return putAtDestination(std::get<Destination>(destination),
                          Data(std::begin(TestPicture), std::end(TestPicture)), "kapsho-test.png",
                          transfer);
}

// The agent's domain changed in one locked read-change-write, without a custom uploader, which
// any destination replaces; false, said on err, when it cannot be written.
bool changeAgentSettings(const std::function<void(Dictionary&)>& change, std::ostream& err) {
  const PreferencesDomainLock lock(DaemonBundleID);
  Dictionary domain =
      NSUserDefaults::persistentDomainForName(DaemonBundleID).value_or(Dictionary{});
  change(domain);
  domain.erase(CustomUploaderKey);
  if (lock.held() && NSUserDefaults::setPersistentDomain(domain, DaemonBundleID)) return true;
  err << "kapsho-prefs: the agent's settings cannot be written\n";
  return false;
}

}  // namespace

int runDestinationCommand(const std::vector<std::string>& arguments, std::ostream& out,
                          std::ostream& err) {
  if (arguments == std::vector<std::string>{"builtin"}) {
    if (!changeAgentSettings(&Destination::removeFrom, err)) return 1;
    out << "Uploader: built in\n";
    return 0;
  }
  bool test = false;
  const auto settings = settingsOf(arguments, &test);
  if (!settings) {
    err << "usage: kapsho-prefs destination sftp://user@host[:port]/folder/ --address TEMPLATE "
           "[--key FILE] [--naming own|random] [--test]\n"
           "       kapsho-prefs destination s3://bucket/prefix/ --endpoint URL --region R "
           "--address TEMPLATE [--keys FILE] [--public-read] [--naming own|random] [--test]\n"
           "       kapsho-prefs destination builtin\n";
    return 1;
  }
  const auto destination = Destination::make(*settings);
  if (const auto* failed = std::get_if<Destination::Failure>(&destination)) {
    err << "kapsho-prefs: " << failed->reason << "\n";
    return 1;
  }
  if (test) {
    const auto outcome = testUpload(*settings);
    if (const auto* failed = std::get_if<Destination::Failure>(&outcome)) {
      err << "kapsho-prefs: the test upload to " << settings->url << " failed: " << failed->reason
          << "\n";
      return 1;
    }
    out << "Test upload: " << std::get<std::string>(outcome) << "\n";
  }
  const auto& chosen = std::get<Destination>(destination);
  if (!changeAgentSettings([&](Dictionary& domain) { chosen.storeIn(domain); }, err)) return 1;
  out << "Uploader: " << chosen.description() << "\n";
  return 0;
}

}  // namespace kapsho_prefs
