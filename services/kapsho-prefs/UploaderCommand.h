// kapsho-prefs and the agent's uploader: a custom uploader file chosen through the pane's button,
// the host answering the file dialog the button opens as a person would, and the agent's recent
// uploads.
#pragma once

#include <ostream>
#include <string>

class QAbstractButton;
class QLabel;

namespace kapsho_prefs {

// The pane's uploader row.
struct UploaderControls {
  QLabel* label;
  QLabel* errorLabel;
  QAbstractButton* chooseButton;
  QAbstractButton* builtInButton;
};

// Clicks the button that chooses a file and answers its file dialog with the file (relative to
// the working folder); what the pane then says was wrong, "" when it took the file.
std::string chooseUploaderFile(const UploaderControls& controls, const std::string& file);

// uploader FILE, or uploader none for the built-in request: prints the row's line, "Uploader:
// <name>"; for a file the pane cannot use, status 1 and one line to err naming the file as given
// and what is wrong.
int uploaderCommand(const std::string& file, const UploaderControls& controls, std::ostream& out,
                    std::ostream& err);

// The agent's recent uploads, newest first, one a line: the date, the address and, where the
// uploader gave one, the deletion address, separated by tabs.
void printRecentUploads(std::ostream& out);

}  // namespace kapsho_prefs
