// kapsho-prefs without a window: a command sets one control of the pane as a click would, and
// the host then prints the lines a person would read off the pane (for uploader, the uploader's
// line alone).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

class QWidget;

namespace kapsho_prefs {

extern const char* const Usage;

enum class Verb { Window, Status, Start, Stop, Login, Icon, Notify, Uploader, Recent, Destination };

struct Options {
  std::string panePath;
  Verb verb = Verb::Window;
  bool on = false;     // for login and icon
  int notifyMode = 0;  // for notify: the position of auto, on or off in the pop-up
  std::string file;    // for uploader (a file or "none"), and open
  std::vector<std::string> destination;  // the arguments of destination
  bool help = false;
};

// nullopt on bad usage; without a pane path, the installed pane.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments);

// Runs the command on the loaded pane's view and prints the pane's state to out; the exit
// status: 0, or 1 when the pane lacks a control of the Kapsho pane or does not show what the
// command asked for (a start that left the agent stopped, a login item that could not be added,
// a checkbox that is disabled), which one line to err names.
int runCommand(const Options& options, QWidget* view, std::ostream& out, std::ostream& err);

// Chooses the file as the custom uploader through the pane's button, for the window to show how
// that went; false, with a line to err, when the pane lacks a control of the Kapsho pane.
bool chooseUploaderInView(QWidget* view, const std::string& file, std::ostream& err);

}  // namespace kapsho_prefs
