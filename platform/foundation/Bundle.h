// Bundles: folders "X.app/Contents/{Info.plist,MacOS,Resources}", their resources and
// localizations, and the fixed system paths of the original platform.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

class NSBundle {
 public:
  // The bundle of the running executable (found from its path), or the executable's folder for
  // a program that lies in no bundle.
  static NSBundle& mainBundle();
  // The bundle at a folder; nullopt when the folder does not exist.
  static std::optional<NSBundle> bundleWithPath(const std::string& path);
  // bundleForClass: the bundle whose Contents/MacOS holds the program or plug-in that defines
  // the class (found from where its type information was loaded from); the main bundle for a
  // class of the main program, and nullopt for a plug-in that lies in no bundle.
  static std::optional<NSBundle> bundleForClass(const std::type_info& aClass);

  const std::string& bundlePath() const { return path_; }
  std::string bundleIdentifier() const;
  const Dictionary& infoDictionary() const { return info_; }
  std::string resourcePath() const;
  // The program of the bundle (Contents/MacOS/<CFBundleExecutable>); nullopt when the bundle
  // names none or it cannot be run.
  std::optional<std::string> executablePath() const;
  std::string developmentRegion() const;

  // load: the executable as a plug-in (loaded once, its symbols kept to itself); false, with the
  // loader's reason, when the bundle names no executable or it cannot be loaded as a plug-in.
  bool load(std::string* error) const;
  // principalClass: the entry a loaded plug-in exports for the class the bundle's
  // NSPrincipalClass names (see NS_PRINCIPAL_CLASS); nullptr when the key is missing or the
  // plug-in exports no such class.
  void* principalClass() const;

  // A resource by name and type: first among the unlocalized resources, then in the user's
  // preferred localizations.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const;
  // The names of the bundle's localizations (its ".lproj" folders), sorted.
  std::vector<std::string> localizations() const;
  // URLs of the resources of a type in one localization, each relative to its folder.
  std::vector<NSURL> resourceURLsOfType(const std::string& type,
                                        const std::string& localization) const;

 private:
  explicit NSBundle(std::string path);
  std::string path_;
  Dictionary info_;
};

// The user's language preferences, best first: LANGUAGE (a list), then LC_ALL, LC_MESSAGES and
// LANG, without encodings and modifiers; "C" and "POSIX" name no language.
std::vector<std::string> userLanguagePreferences();

// Of the given localizations, those that fit the user's language preferences, best first; with
// no fit, the development region of the main bundle (else "en" or "English") if it is among
// them, else the first of them.
std::vector<std::string> localizationsForPreferences(const std::vector<std::string>& localizations,
                                                     const std::vector<std::string>& preferences);

// The root under which the original platform's fixed paths lie: the environment variable the build
// names (PLATFORM_SYSTEM_ROOT_VARIABLE) when set, else the share/<vendor> folder of the tree that
// holds the running executable, else /usr/share/<vendor>.
std::string systemRoot();
// A fixed path of the original platform ("/System/Library/...") resolved under that root.
std::string systemPath(const std::string& fixedPath);

// Core Foundation's bundle calls.
using CFBundleRef = std::shared_ptr<const NSBundle>;
CFBundleRef CFBundleCreate(const NSURL& bundleURL);
std::vector<std::string> CFBundleCopyBundleLocalizations(const CFBundleRef& bundle);
std::vector<std::string> CFBundleCopyLocalizationsForPreferences(
    const std::vector<std::string>& locArray);
std::vector<NSURL> CFBundleCopyResourceURLsOfTypeForLocalization(const CFBundleRef& bundle,
                                                                 const std::string& resourceType,
                                                                 const std::string& localization);

// The user's standard folders.
enum NSSearchPathDirectory { NSDesktopDirectory = 12 };
enum NSSearchPathDomainMask { NSUserDomainMask = 1 };
std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             NSSearchPathDomainMask domainMask,
                                                             bool expandTilde);

}  // namespace platform
