#include "services/kapsho-prefs/CommandLine.h"

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <string>

#include "services/kapsho-prefs/PaneLoader.h"

namespace kapsho_prefs {

const char* const Usage =
    "usage: kapsho-prefs [--pane PATH] [status | start | stop | login on|off | icon on|off]\n"
    "       kapsho-prefs destination sftp://user@host[:port]/folder/ | s3://bucket/prefix/\n"
    "                    [OPTIONS] | builtin\n"
    "Without a command, shows the pane in a window. A command sets the pane's control as a\n"
    "click would and prints what the pane then shows. destination sets where the agent puts\n"
    "screenshots (see kapsho-prefs(1)).\n";

namespace {

const QString RunningText = QStringLiteral("Kapsho is running");

std::optional<Verb> verbNamed(const std::string& name) {
  static const std::pair<const char*, Verb> verbs[] = {
      {"status", Verb::Status}, {"start", Verb::Start}, {"stop", Verb::Stop},
      {"login", Verb::Login},   {"icon", Verb::Icon},   {"destination", Verb::Destination}};
  for (const auto& [word, verb] : verbs)
    if (name == word) return verb;
  return std::nullopt;
}

struct Controls {
  QAbstractButton* startButton;
  QLabel* startLabel;
  QAbstractButton* loginCheckbox;
  QAbstractButton* statusItemCheckbox;
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
                    control<QAbstractButton>(view, "statusItemCheckbox", err)};
  if (!controls.startButton || !controls.startLabel || !controls.loginCheckbox ||
      !controls.statusItemCheckbox)
    return std::nullopt;
  return controls;
}

// The control a command clicks, unless the pane already shows what the command asks for, and
// what failed when the pane does not show it after the click.
struct Request {
  QAbstractButton* control;
  std::function<bool()> shown;
  std::string failure;
};

std::optional<Request> requestOf(const Options& options, const Controls& controls) {
  const auto running = [label = controls.startLabel] { return label->text() == RunningText; };
  const auto checked = [on = options.on](const QAbstractButton* box) {
    return [box, on] { return box->isChecked() == on; };
  };
  const std::string turned = options.on ? " could not be turned on" : " could not be turned off";
  switch (options.verb) {
    case Verb::Start:
      return Request{controls.startButton, running, "Kapsho did not start"};
    case Verb::Stop:
      return Request{controls.startButton, [running] { return !running(); }, "Kapsho did not stop"};
    case Verb::Login:
      return Request{controls.loginCheckbox, checked(controls.loginCheckbox),
                     "Start at login" + turned};
    case Verb::Icon:
      return Request{controls.statusItemCheckbox, checked(controls.statusItemCheckbox),
                     "Show icon" + turned};
    case Verb::Status:
    case Verb::Window:
    case Verb::Destination:
      break;
  }
  return std::nullopt;
}

const char* onOff(const QAbstractButton* box) {
  return box->isChecked() ? "on" : "off";
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
  return at == arguments.size() ? std::optional(options) : std::nullopt;
}

int runCommand(const Options& options, QWidget* view, std::ostream& out, std::ostream& err) {
  const auto controls = controlsOf(view, err);
  if (!controls) return 1;
  const auto request = requestOf(options, *controls);
  if (request && !request->shown()) request->control->click();
  out << controls->startLabel->text().toStdString() << "\n"
      << "Start at login: " << onOff(controls->loginCheckbox) << "\n"
      << "Show icon: " << onOff(controls->statusItemCheckbox) << "\n";
  if (!request || request->shown()) return 0;
  err << "kapsho-prefs: " << request->failure << "\n";
  return 1;
}

}  // namespace kapsho_prefs
