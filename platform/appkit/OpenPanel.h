// The open panel: asks the person at the screen for a file to open. It is the toolkit's own file
// dialog, never a desktop's native one, so that every desktop shows the same panel and a host can
// answer it as a person would (it is a QFileDialog while it runs).
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/URL.h"

namespace platform {

enum NSModalResponse : long { NSModalResponseCancel = 0, NSModalResponseOK = 1 };

class NSOpenPanel {
 public:
  static NSOpenPanel openPanel();

  void setTitle(const std::string& title) { title_ = title; }
  // Extensions without the dot ("sxcu"); the panel lists those files first, and all files on
  // request. Empty: all files.
  void setAllowedFileTypes(std::vector<std::string> types) { types_ = std::move(types); }

  // runModal: shows the panel and waits until a file is chosen or the panel is cancelled.
  NSModalResponse runModal();
  // The chosen file's URL, after NSModalResponseOK; empty otherwise.
  const std::vector<NSURL>& URLs() const { return urls_; }

 private:
  NSOpenPanel() = default;
  std::string title_;
  std::vector<std::string> types_;
  std::vector<NSURL> urls_;
};

}  // namespace platform
