#include "services/kapsho-prefs/CommandLine.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <string>

#include "services/kapsho-prefs/PaneLoader.h"
#include "services/kapsho-prefs/UploaderCommand.h"

namespace kapsho_prefs {

const char* const Usage =
    "usage: kapsho-prefs [--pane PATH] [status | start | stop | login on|off | icon on|off |\n"
    "                    notify auto|on|off | uploader FILE|none | recent | open [FILE]]\n"
    "       kapsho-prefs destination sftp://user@host[:port]/folder/ | s3://bucket/prefix/\n"
    "                    [OPTIONS] | builtin\n"
    "Without a command, or with open, shows the pane in a window (open FILE first chooses FILE\n"
    "as the custom uploader). A command sets the pane's control as a click would and prints what\n"
    "the pane then shows; recent prints the recent uploads; destination sets where the agent\n"
    "puts screenshots (see kapsho-prefs(1)).\n";

namespace {

const QString RunningText = QStringLiteral("Kapsho is running");
// The notifications pop-up's items, in its order.
const std::string NotifyModes[] = {"auto", "on", "off"};

std::optional<Verb> verbNamed(const std::string& name) {
  static const std::pair<const char*, Verb> verbs[] = {
      {"status", Verb::Status},     {"start", Verb::Start},
      {"stop", Verb::Stop},         {"login", Verb::Login},
      {"icon", Verb::Icon},         {"notify", Verb::Notify},
      {"uploader", Verb::Uploader}, {"recent", Verb::Recent},
      {"open", Verb::Window},       {"destination", Verb::Destination}};
  for (const auto& [word, verb] : verbs)
    if (name == word) return verb;
  return std::nullopt;
}

struct Controls {
  QAbstractButton* startButton;
  QLabel* startLabel;
  QAbstractButton* loginCheckbox;
  QAbstractButton* statusItemCheckbox;
  QComboBox* notificationsPopUp;
  UploaderControls uploader;
};

template <typename Widget>
Widget* control(QWidget* view, const char* name, std::ostream& err) {
  auto* widget = view->findChild<Widget*>(QString::fromLatin1(name));
  if (!widget) err << "kapsho-prefs: the pane has no control \"" << name << "\"\n";
  return widget;
}

std::optional<Controls> controlsOf(QWidget* view, std::ostream& err) {
  Controls controls{control<QAbstractButton>(view, "startButton", err),
                    control<QLabel>(view, "startLabel", err),
                    control<QAbstractButton>(view, "loginCheckbox", err),
                    control<QAbstractButton>(view, "statusItemCheckbox", err),
                    control<QComboBox>(view, "notificationsPopUp", err),
                    {control<QLabel>(view, "uploaderLabel", err),
                     control<QLabel>(view, "uploaderErrorLabel", err),
                     control<QAbstractButton>(view, "chooseUploaderButton", err),
                     control<QAbstractButton>(view, "builtInUploaderButton", err)}};
  const UploaderControls& uploader = controls.uploader;
  if (!controls.startButton || !controls.startLabel || !controls.loginCheckbox ||
      !controls.statusItemCheckbox || !controls.notificationsPopUp || !uploader.label ||
      !uploader.errorLabel || !uploader.chooseButton || !uploader.builtInButton)
    return std::nullopt;
  return controls;
}

// What a command does to the pane as a person would (a click, a choice), unless the pane already
// shows what the command asks for, and what failed when the pane does not show it afterwards.
struct Request {
  std::function<void()> act;
  std::function<bool()> shown;
  std::string failure;
};

Request click(QAbstractButton* control, std::function<bool()> shown, std::string failure) {
  return {[control] { control->click(); }, std::move(shown), std::move(failure)};
}

// A choice in a pop-up that is disabled does not happen.
Request choose(QComboBox* popUp, int index) {
  return {[popUp, index] {
            if (!popUp->isEnabled()) return;
            popUp->setCurrentIndex(index);
            emit popUp->activated(index);
          },
          [popUp, index] { return popUp->currentIndex() == index; },
          std::string("Notifications could not be set to ") + NotifyModes[index]};
}

std::optional<Request> requestOf(const Options& options, const Controls& controls) {
  const auto running = [label = controls.startLabel] { return label->text() == RunningText; };
  const auto checked = [on = options.on](const QAbstractButton* box) {
    return [box, on] { return box->isChecked() == on; };
  };
  const std::string turned = options.on ? " could not be turned on" : " could not be turned off";
  switch (options.verb) {
    case Verb::Start:
      return click(controls.startButton, running, "Kapsho did not start");
    case Verb::Stop:
      return click(
          controls.startButton, [running] { return !running(); }, "Kapsho did not stop");
    case Verb::Login:
      return click(controls.loginCheckbox, checked(controls.loginCheckbox),
                   "Start at login" + turned);
    case Verb::Icon:
      return click(controls.statusItemCheckbox, checked(controls.statusItemCheckbox),
                   "Show icon" + turned);
    case Verb::Notify:
      return choose(controls.notificationsPopUp, options.notifyMode);
    case Verb::Status:
    case Verb::Window:
    case Verb::Uploader:
    case Verb::Recent:
    case Verb::Destination:
      break;
  }
  return std::nullopt;
}

const char* onOff(const QAbstractButton* box) {
  return box->isChecked() ? "on" : "off";
}

std::string modeOf(const QComboBox* popUp) {
  const int index = popUp->currentIndex();
  return index >= 0 && index < static_cast<int>(std::size(NotifyModes)) ? NotifyModes[index] : "?";
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  options.panePath = defaultPanePath();
  size_t at = 0;
  if (at < arguments.size() && (arguments[at] == "--help" || arguments[at] == "-h")) {
    options.help = true;
    return arguments.size() == 1 ? std::optional(options) : std::nullopt;
  }
  if (at < arguments.size() && arguments[at] == "--pane") {
    if (at + 1 >= arguments.size()) return std::nullopt;
    options.panePath = arguments[at + 1];
    at += 2;
  }
  if (at == arguments.size()) return options;
  const auto verb = verbNamed(arguments[at++]);
  if (!verb) return std::nullopt;
  options.verb = *verb;
  if (*verb == Verb::Destination) {
    options.destination.assign(arguments.begin() + static_cast<long>(at), arguments.end());
    return options;
  }
  const bool takesState = *verb == Verb::Login || *verb == Verb::Icon;
  if (takesState) {
    if (at >= arguments.size() || (arguments[at] != "on" && arguments[at] != "off"))
      return std::nullopt;
    options.on = arguments[at++] == "on";
  }
  if (*verb == Verb::Notify) {
    const auto mode = at < arguments.size()
                          ? std::find(std::begin(NotifyModes), std::end(NotifyModes), arguments[at])
                          : std::end(NotifyModes);
    if (mode == std::end(NotifyModes)) return std::nullopt;
    options.notifyMode = static_cast<int>(mode - std::begin(NotifyModes));
    ++at;
  }
  // uploader takes a file (or "none"); open may take one.
  if ((*verb == Verb::Uploader || *verb == Verb::Window) && at < arguments.size())
    options.file = arguments[at++];
  if (*verb == Verb::Uploader && options.file.empty()) return std::nullopt;
  return at == arguments.size() ? std::optional(options) : std::nullopt;
}

int runCommand(const Options& options, QWidget* view, std::ostream& out, std::ostream& err) {
  const auto controls = controlsOf(view, err);
  if (!controls) return 1;
  if (options.verb == Verb::Uploader)
    return uploaderCommand(options.file, controls->uploader, out, err);
  const auto request = requestOf(options, *controls);
  if (request && !request->shown()) request->act();
  out << controls->startLabel->text().toStdString() << "\n"
      << "Start at login: " << onOff(controls->loginCheckbox) << "\n"
      << "Show icon: " << onOff(controls->statusItemCheckbox) << "\n"
      << controls->uploader.label->text().toStdString() << "\n"
      << "Notifications: " << modeOf(controls->notificationsPopUp) << "\n";
  if (!request || request->shown()) return 0;
  err << "kapsho-prefs: " << request->failure << "\n";
  return 1;
}

bool chooseUploaderInView(QWidget* view, const std::string& file, std::ostream& err) {
  const auto controls = controlsOf(view, err);
  if (controls) chooseUploaderFile(controls->uploader, file);
  return controls.has_value();
}

}  // namespace kapsho_prefs
