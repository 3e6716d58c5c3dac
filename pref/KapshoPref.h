// The preference pane: shows whether the agent runs and starts or stops it, makes it a login item
// of the user or takes it out again, shows or hides its menu-bar icon, and chooses when it tells
// of its uploads through desktop notifications.
//
// It also shows which way the agent uploads, and chooses a custom uploader file for it or the
// built-in request.
//
// KapshoPref.cpp holds the controller's view and actions, UploaderChoice.cpp the uploader row,
// ProcessControl.cpp finds the agent's bundle and process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/appkit/Controls.h"
#include "platform/appkit/PreferencePane.h"

class KapshoPref : public platform::NSPreferencePane {
 public:
  explicit KapshoPref(const platform::NSBundle& bundle);

  // Sets every control from the present state: the login items, the agent's stored icon
  // setting, and whether it runs.
  void mainViewDidLoad() override;
  void updateUI();
  void updateUI(bool running);
  void toggleLoginCheckbox(platform::NSButton& sender);
  void toggleMenuBarCheckbox(platform::NSButton& sender);
  void pressStartButton(platform::NSButton& sender);
  // Stores the choice in the agent's domain, running or not: the agent reads it at each upload.
  void chooseNotifications(platform::NSPopUpButton& sender);

  // The uploader row: "Uploader: " and the custom uploader file's name (or why it cannot be
  // used), or "built in (<upload host>)".
  void updateUploaderUI();
  // Asks for a file; one that can be used is kept in the uploaders' folder and becomes the
  // agent's uploader, one that cannot is named in the error line with what is wrong.
  void chooseUploaderFile(platform::NSButton& sender);
  void useBuiltInUploader(platform::NSButton& sender);

  // The agent bundle among the pane's resources; nullopt when it is missing.
  std::optional<std::string> pathForDaemon() const;
  bool daemonRunning() const;
  // The first process, in the process list's order, whose bundle identifier is the agent's;
  // 0 when none runs or the walk failed.
  pid_t pidForDaemon() const;

  // The actions, by the selectors the interface file names.
  bool respondsToSelector(std::string_view selector) const override;
  void performSelector(std::string_view selector, platform::NSObject* sender) override;

 private:
  // The bundle that holds this class, not the host's.
  static std::optional<platform::NSBundle> paneBundle();

  platform::IBOutlet<platform::NSImageView> imageView{this, "imageView"};
  platform::IBOutlet<platform::NSProgressIndicator> progressIndicator{this, "progressIndicator"};
  platform::IBOutlet<platform::NSTextField> startLabel{this, "startLabel"};
  platform::IBOutlet<platform::NSButton> startButton{this, "startButton"};
  platform::IBOutlet<platform::NSButton> loginCheckbox{this, "loginCheckbox"};
  platform::IBOutlet<platform::NSButton> statusItemCheckbox{this, "statusItemCheckbox"};
  platform::IBOutlet<platform::NSPopUpButton> notificationsPopUp{this, "notificationsPopUp"};
  platform::IBOutlet<platform::NSTextField> uploaderLabel{this, "uploaderLabel"};
  platform::IBOutlet<platform::NSButton> chooseUploaderButton{this, "chooseUploaderButton"};
  platform::IBOutlet<platform::NSButton> builtInUploaderButton{this, "builtInUploaderButton"};
  // Empty unless the last choice of an uploader failed: then what was wrong.
  platform::IBOutlet<platform::NSTextField> uploaderErrorLabel{this, "uploaderErrorLabel"};
};
