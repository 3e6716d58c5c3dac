#include "tools/kapsho-capture/Clipboard.h"

#include <fcntl.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

constexpr int WlCopyTimeoutMs = 10 * 1000;
// The owner's end of the pipe to the waiting command.
int ownerReport = -1;

void leaveTerminal() {
  setsid();
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  if (null > 2) close(null);
}

}  // namespace

std::optional<int> splitOffClipboardOwner() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw CaptureError(std::string("cannot start the clipboard owner: ") + std::strerror(errno));
  const pid_t owner = fork();
  if (owner < 0)
    throw CaptureError(std::string("cannot start the clipboard owner: ") + std::strerror(errno));
  if (owner == 0) {
    close(fds[0]);
    ownerReport = fds[1];
    return std::nullopt;
  }
  close(fds[1]);
  char word = 1;
  ssize_t got;
  while ((got = read(fds[0], &word, 1)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  return got == 1 && word == 0 ? 0 : 1;
}

void serveClipboard(const QImage& image) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  auto* data = new QMimeData;
  data->setImageData(image);
  clipboard->setMimeData(data, QClipboard::Clipboard);
  if (!clipboard->ownsClipboard()) throw CaptureError("the clipboard could not be taken");
  const char held = 0;
  [[maybe_unused]] const auto written = write(ownerReport, &held, 1);
  close(ownerReport);
  leaveTerminal();
  QObject::connect(clipboard, &QClipboard::changed, [clipboard](QClipboard::Mode mode) {
    if (mode == QClipboard::Clipboard && !clipboard->ownsClipboard()) QCoreApplication::quit();
  });
  QCoreApplication::exec();
}

void copyWithWlCopy(const QByteArray& png) {
  const QString program = QStandardPaths::findExecutable(QStringLiteral("wl-copy"));
  if (program.isEmpty())
    throw CaptureError("the clipboard on Wayland needs wl-copy (Debian package wl-clipboard)");
  QProcess copy;
  copy.setStandardOutputFile(QProcess::nullDevice());
  copy.start(program, {QStringLiteral("--type"), QStringLiteral("image/png")});
  copy.write(png);
  copy.closeWriteChannel();
  if (!copy.waitForFinished(WlCopyTimeoutMs) || copy.exitStatus() != QProcess::NormalExit ||
      copy.exitCode() != 0)
    throw CaptureError("wl-copy failed: " +
                       QString::fromLocal8Bit(copy.readAllStandardError()).trimmed().toStdString());
}

}  // namespace kapsho_capture
