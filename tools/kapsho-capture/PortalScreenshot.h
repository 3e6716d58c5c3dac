// A screenshot from the desktop through the xdg-desktop-portal Screenshot interface on the
// session bus, for Wayland, where no program may read the screens itself. Needs a
// QCoreApplication.
#pragma once

#include <QObject>
#include <QVariantMap>
#include <optional>
#include <string>

namespace kapsho_capture {

class PortalScreenshot : public QObject {
  Q_OBJECT

 public:
  // Asks the portal (with `interactive`, the desktop lets the user choose what to take) and
  // waits for its answer: the path of the file the portal wrote. Throws CaptureError when the
  // portal is absent, refuses, the user cancels, or no answer comes in time.
  static std::string take(bool interactive);
  // The path of the file a portal's answer names: its code must be 0 (1: the user cancelled) and
  // its results' "uri" a file URL with an absolute path. Throws CaptureError otherwise.
  static std::string fileOfAnswer(uint code, const QVariantMap& results);

 signals:
  void answered();

 private slots:
  void response(uint code, const QVariantMap& results);

 private:
  std::optional<uint> code_;
  QVariantMap results_;
};

}  // namespace kapsho_capture
