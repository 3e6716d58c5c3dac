// Preference panes: a plug-in's controller of a view that its bundle's interface file describes,
// shown by a host. The host makes the bundle's principal class with the bundle (see
// NS_PRINCIPAL_CLASS), has it load its main view, calls mainViewDidLoad once and shows the view;
// the controls' actions then reach the pane on the main thread through performSelector.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/appkit/Controls.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Object.h"

class QWidget;

namespace platform {

class NSPreferencePane : public NSObject {
 public:
  // initWithBundle:
  explicit NSPreferencePane(NSBundle bundle);
  ~NSPreferencePane() override;
  NSPreferencePane(const NSPreferencePane&) = delete;
  NSPreferencePane& operator=(const NSPreferencePane&) = delete;

  const NSBundle& bundle() const { return bundle_; }

  // loadMainView: makes the widgets of the interface file that the bundle's NSMainNibFile names
  // (a Qt Designer file "<name>.ui" among its resources, whose pictures are found there too),
  // connects each outlet to the widget of the outlet's name, and makes this pane the target of
  // each button and pop-up button whose "action" property names a selector (a pop-up sends it
  // when the user chooses an item). nullptr, with the reason, when the file is missing or
  // unreadable, an outlet has no widget of its name or one of another kind, or an action is one
  // the pane does not respond to or is set on a control that sends none. The pane keeps the
  // view; a host that puts it into a window may let the window delete it.
  virtual QWidget* loadMainView(std::string* error);
  virtual QWidget* mainView() const;
  // mainViewDidLoad: called by the host once, after the main view is loaded.
  virtual void mainViewDidLoad();

  // An outlet of this pane (see IBOutlet): connect gives the widget to the field, or false when
  // the field cannot hold that kind of widget.
  void addOutlet(std::string name, std::function<bool(QWidget*)> connect);

 private:
  bool connectAction(QWidget* control, const std::string& selector, QWidget* view);

  NSBundle bundle_;
  std::vector<std::pair<std::string, std::function<bool(QWidget*)>>> outlets_;
  struct View;
  std::unique_ptr<View> view_;
};

// A field of a pane that its interface file connects to the widget of the field's name:
// IBOutlet<NSButton> startButton{this, "startButton"};
template <typename View>
class IBOutlet : public View {
 public:
  IBOutlet(NSPreferencePane* owner, std::string name) {
    owner->addOutlet(std::move(name), [this](QWidget* widget) {
      if (!View::canWrap(widget)) return false;
      static_cast<View&>(*this) = View(widget);
      return true;
    });
  }
  IBOutlet(const IBOutlet&) = delete;
  IBOutlet& operator=(const IBOutlet&) = delete;
};

// The entry by which a host makes a pane: exported by its plug-in as "NSPrincipalClass_<Class>",
// the name NSBundle::principalClass looks for. The host owns the pane it gets.
using NSPreferencePaneClass = NSPreferencePane* (*)(const NSBundle& bundle);

#define NS_PRINCIPAL_CLASS(Class)                                                           \
  extern "C" __attribute__((visibility("default")))                                         \
  platform::NSPreferencePane* NSPrincipalClass_##Class(const platform::NSBundle& bundle) {  \
    return new Class(bundle);                                                               \
  }                                                                                         \
  static_assert(std::is_base_of_v<platform::NSPreferencePane, Class>, "a pane's principal " \
                                                                      "class is a pane")

}  // namespace platform
