#include "platform/appkit/PreferencePane.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QUiLoader>
#include <QWidget>

namespace platform {

namespace {

// The dynamic property that names a control's action, as Qt Designer saves one.
const char* const ActionProperty = "action";

QWidget* widgetNamed(QWidget* root, const std::string& name) {
  const QString objectName = QString::fromStdString(name);
  if (root->objectName() == objectName) return root;
  return root->findChild<QWidget*>(objectName);
}

std::string kindOf(const QWidget* widget) {
  return widget->metaObject()->className();
}

}  // namespace

// The view may be handed to a host's window, which then deletes it: the pointer notices.
struct NSPreferencePane::View {
  QPointer<QWidget> widget;
  ~View() { delete widget.data(); }
};

// A button's click, or a pop-up's choice made by the user, sends the control's action.
bool NSPreferencePane::connectAction(QWidget* control, const std::string& selector, QWidget* view) {
  if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    QObject::connect(button, &QAbstractButton::clicked, view, [this, button, selector] {
      NSButton sender(button);
      performSelector(selector, &sender);
    });
    return true;
  }
  if (auto* popUp = qobject_cast<QComboBox*>(control)) {
    QObject::connect(popUp, &QComboBox::activated, view, [this, popUp, selector] {
      NSPopUpButton sender(popUp);
      performSelector(selector, &sender);
    });
    return true;
  }
  return false;
}

NSPreferencePane::NSPreferencePane(NSBundle bundle)
    : bundle_(std::move(bundle)), view_(std::make_unique<View>()) {}

NSPreferencePane::~NSPreferencePane() = default;

void NSPreferencePane::addOutlet(std::string name, std::function<bool(QWidget*)> connect) {
  outlets_.emplace_back(std::move(name), std::move(connect));
}

QWidget* NSPreferencePane::mainView() const {
  return view_->widget.data();
}

void NSPreferencePane::mainViewDidLoad() {}

QWidget* NSPreferencePane::loadMainView(std::string* error) {
  const Value* nibName = valueForKey(bundle_.infoDictionary(), "NSMainNibFile");
  const auto path = nibName && nibName->string() ? bundle_.pathForResource(*nibName->string(), "ui")
                                                 : std::nullopt;
  if (!path) {
    *error = "the bundle has no interface file (NSMainNibFile, a .ui file among its resources)";
    return nullptr;
  }
  QFile file(QString::fromStdString(*path));
  if (!file.open(QIODevice::ReadOnly)) {
    *error = "cannot read " + *path + ": " + file.errorString().toStdString();
    return nullptr;
  }
  QUiLoader loader;
  loader.setWorkingDirectory(QDir(QString::fromStdString(bundle_.resourcePath())));
  std::unique_ptr<QWidget> root(loader.load(&file));
  if (!root) {
    *error = "cannot load " + *path + ": " + loader.errorString().toStdString();
    return nullptr;
  }
  for (const auto& [name, connect] : outlets_) {
    QWidget* widget = widgetNamed(root.get(), name);
    if (!widget) {
      *error = *path + " has no widget named \"" + name + "\" for the outlet of that name";
      return nullptr;
    }
    if (!connect(widget)) {
      *error = *path + ": the outlet \"" + name + "\" cannot hold a " + kindOf(widget);
      return nullptr;
    }
  }
  for (QWidget* control : root->findChildren<QWidget*>()) {
    const QVariant action = control->property(ActionProperty);
    if (!action.isValid()) continue;
    const std::string selector = action.toString().toStdString();
    if (!respondsToSelector(selector)) {
      *error = *path + ": \"" + control->objectName().toStdString() + "\" sends \"" + selector +
               "\", which the pane does not respond to";
      return nullptr;
    }
    if (!connectAction(control, selector, root.get())) {
      *error = *path + ": \"" + control->objectName().toStdString() + "\", a " + kindOf(control) +
               ", sends no action";
      return nullptr;
    }
  }
  delete view_->widget.data();
  view_->widget = root.release();
  return view_->widget.data();
}

}  // namespace platform
