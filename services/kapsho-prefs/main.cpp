// kapsho-prefs: the preference-pane host. Shows a .prefPane bundle's pane in a window, or drives
// it from the command line.
#include <QApplication>
#include <iostream>

#include "platform/appkit/Application.h"
#include "services/kapsho-prefs/CommandLine.h"
#include "services/kapsho-prefs/DestinationCommand.h"
#include "services/kapsho-prefs/PaneLoader.h"
#include "services/kapsho-prefs/PaneWindow.h"
#include "services/kapsho-prefs/UploaderCommand.h"

using namespace kapsho_prefs;

namespace {

// The offscreen platform says, for every dialog a command answers, that it cannot pass the
// dialog's size hints on: nothing a person at the command line needs to read.
void quietenOffscreenPlatform() {
  static const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message != QLatin1String("This plugin does not support propagateSizeHints()"))
          previous(type, context, message);
      });
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::cerr << Usage;
    return 1;
  }
  if (options->help) {
    std::cout << Usage;
    return 0;
  }
  if (options->verb == Verb::Recent) {
    printRecentUploads(std::cout);
    return 0;
  }
  // Settings of the agent's own, which need no pane.
  if (options->verb == Verb::Destination)
    return runDestinationCommand(options->destination, std::cout, std::cerr);
  const bool window = options->verb == Verb::Window;
  if (window && !platform::hasDisplay()) {
    std::cerr << "kapsho-prefs: no display to show the pane on (neither DISPLAY nor "
                 "WAYLAND_DISPLAY is set); a command such as \"kapsho-prefs status\" needs none\n";
    return 1;
  }
  // A command makes its widgets offscreen. The platform is chosen by argument, not in the
  // environment, which the agent started from here inherits.
  char offscreen[] = "-platform", platform[] = "offscreen";
  char* qtArguments[] = {argv[0], offscreen, platform, nullptr};
  int qtCount = window ? 1 : 3;
  QApplication application(qtCount, qtArguments);
  if (!window) quietenOffscreenPlatform();
  std::string error;
  const auto loaded = loadPane(options->panePath, &error);
  if (!loaded) {
    std::cerr << "kapsho-prefs: " << options->panePath << ": " << error << "\n";
    return 1;
  }
  if (window && !options->file.empty() &&
      !chooseUploaderInView(loaded->view, options->file, std::cerr))
    return 1;
  return window ? showInWindow(*loaded) : runCommand(*options, loaded->view, std::cout, std::cerr);
}
