#include "tools/kapsho-capture/GrimScreenshot.h"

#include <QProcess>
#include <QStandardPaths>
#include <optional>
#include <string>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

// zlib level 1, as for the pictures taken on X11: half the encoder's time of its default.
const QString PngLevel = QStringLiteral("1");

// Runs the program to its end (slurp waits for the user as long as they take) and gives what it
// wrote, or nullopt with its errors when it failed.
std::optional<QByteArray> output(const QString& program, const QStringList& arguments,
                                 std::string* errors) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
      process.exitCode() != 0) {
    *errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed().toStdString();
    if (errors->empty()) *errors = process.errorString().toStdString();
    return std::nullopt;
  }
  return process.readAllStandardOutput();
}

// The rectangle "X,Y WxH" the user drags with slurp.
QString chosenRectangle() {
  const QString slurp = QStandardPaths::findExecutable(QStringLiteral("slurp"));
  if (slurp.isEmpty())
    throw CaptureError("-i needs slurp to choose a part of the screen here: install slurp");
  std::string errors;
  const auto rectangle = output(slurp, {}, &errors);
  if (!rectangle) throw CaptureError("cancelled: nothing captured");
  return QString::fromLocal8Bit(*rectangle).trimmed();
}

}  // namespace

bool grimInstalled() {
  return !QStandardPaths::findExecutable(QStringLiteral("grim")).isEmpty();
}

QByteArray takeWithGrim(bool interactive) {
  QStringList arguments{QStringLiteral("-t"), QStringLiteral("png"), QStringLiteral("-l"),
                        PngLevel};
  if (interactive) arguments << QStringLiteral("-g") << chosenRectangle();
  arguments << QStringLiteral("-");
  std::string errors;
  const auto png =
      output(QStandardPaths::findExecutable(QStringLiteral("grim")), arguments, &errors);
  if (!png || png->isEmpty()) throw CaptureError("grim took no picture: " + errors);
  return *png;
}

}  // namespace kapsho_capture
