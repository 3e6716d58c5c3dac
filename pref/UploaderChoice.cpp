// The pane's uploader row: which way the agent uploads (a custom uploader file, by its name, or
// the built-in request, by its host), a button to choose a file and one to go back to the
// built-in request. A chosen file is checked, then kept in the uploaders' folder, so the agent
// can still read it once the file chosen is gone.
#include <filesystem>

#include "common/CustomUploader.h"
#include "common/Destination.h"
#include "common/UploadersFolder.h"
#include "common/constants.h"
#include "platform/appkit/OpenPanel.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"
#include "pref/KapshoPref.h"

using namespace platform;

namespace {

const std::string ChooseUploaderTitle = "Choose a Custom Uploader File";
const std::vector<std::string> UploaderFileTypes = {"sxcu"};

// The host of the built-in request as a person may see it: without the credentials an origin
// may carry (a host without a scheme is spoken to over http, as the agent does).
std::string shownHost(const Dictionary& domain) {
  const Value* setting = valueForKey(domain, UploadHostKey);
  std::string host = setting && setting->string() ? *setting->string() : DefaultUploadHost;
  const std::string scheme = host.find("://") == std::string::npos ? "http://" : "";
  const auto span = authoritySpanOf(scheme + host);
  host.erase(span->start - scheme.size(), span->hostStart - span->start);
  return host;
}

// What the row says after "Uploader: ", and whether that is the built-in request. A destination
// wins over a custom uploader file, as it does in the agent.
std::pair<std::string, bool> uploaderShown(const Dictionary& domain) {
  if (const auto settings = Destination::settingsIn(domain)) {
    const auto destination = Destination::make(*settings);
    const auto* failure = std::get_if<Destination::Failure>(&destination);
    return {failure ? failure->reason : std::get<Destination>(destination).description(), false};
  }
  const Value* setting = valueForKey(domain, CustomUploaderKey);
  if (!setting || (setting->string() && setting->string()->empty()))
    return {"built in (" + shownHost(domain) + ")", true};
  if (!setting->string()) return {CustomUploaderKey + ": expected a file's path", false};
  const auto loaded = CustomUploader::load(customUploaderPath(*setting->string()));
  const auto* failure = std::get_if<CustomUploader::Failure>(&loaded);
  return {failure ? failure->reason : std::get<CustomUploader>(loaded).name(), false};
}

// Sets "Custom Uploader" to the file, or with nullopt removes it for the built-in request; either
// clears a destination, which would win over both. False when the agent's domain could not be
// written.
bool storeUploaderSetting(const std::optional<std::string>& file) {
  const PreferencesDomainLock lock(DaemonBundleID);
  if (!lock.held()) return false;
  Dictionary domain =
      NSUserDefaults::persistentDomainForName(DaemonBundleID).value_or(Dictionary{});
  Destination::removeFrom(domain);
  if (file)
    domain.insert_or_assign(CustomUploaderKey, Value(*file));
  else
    domain.erase(CustomUploaderKey);
  return NSUserDefaults::setPersistentDomain(domain, DaemonBundleID);
}

// Checks the file and makes the copy in the uploaders' folder the agent's uploader; what went
// wrong, or nothing.
std::optional<std::string> useUploaderFile(const std::string& path) {
  const auto bytes = dataWithContentsOfFile(path);
  if (!bytes) return path + ": cannot be read";
  const std::string text(bytes->begin(), bytes->end());
  const auto checked = CustomUploader::parse(text);
  if (const auto* failure = std::get_if<CustomUploader::Failure>(&checked))
    return path + ": " + failure->reason;
  const std::string kept = stringByAppendingPathComponent(
      customUploadersFolder(), std::filesystem::path(path).filename().string());
  std::string error;
  if (kept != path && !writeFileAtomically(kept, text, &error))
    return path + ": cannot be kept as " + kept + ": " + error;
  if (!storeUploaderSetting(kept)) return path + ": the choice could not be stored";
  return std::nullopt;
}

}  // namespace

void KapshoPref::updateUploaderUI() {
  const auto [shown, builtIn] =
      uploaderShown(NSUserDefaults::persistentDomainForName(DaemonBundleID).value_or(Dictionary{}));
  uploaderLabel.setStringValue("Uploader: " + shown);
  builtInUploaderButton.setEnabled(!builtIn);
}

void KapshoPref::chooseUploaderFile(NSButton&) {
  NSOpenPanel panel = NSOpenPanel::openPanel();
  panel.setTitle(ChooseUploaderTitle);
  panel.setAllowedFileTypes(UploaderFileTypes);
  if (panel.runModal() != NSModalResponseOK) return;
  uploaderErrorLabel.setStringValue(useUploaderFile(panel.URLs().front().path()).value_or(""));
  updateUploaderUI();
}

void KapshoPref::useBuiltInUploader(NSButton&) {
  uploaderErrorLabel.setStringValue(
      storeUploaderSetting(std::nullopt) ? "" : "The built-in uploader could not be chosen");
  updateUploaderUI();
}
