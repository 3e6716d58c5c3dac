#include "tools/kapsho-capture/Capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/foundation/ScreenCapture.h"
#include "tools/kapsho-capture/CaptureError.h"
#include "tools/kapsho-capture/Clipboard.h"
#include "tools/kapsho-capture/GrimScreenshot.h"
#include "tools/kapsho-capture/PendingFile.h"
#include "tools/kapsho-capture/PngEncoder.h"
#include "tools/kapsho-capture/PortalScreenshot.h"
#include "tools/kapsho-capture/X11Capture.h"
#include "tools/kapsho-capture/X11Display.h"

namespace kapsho_capture {

namespace {

// Where the picture goes: an explicit file, or the capture folder under the next free name.
struct Destination {
  std::string folder;
  std::string extension;  // as the name ends, case kept: the agent compares it exactly
  std::string format;     // Qt's image writer for it
  std::optional<std::string> file;
  std::optional<platform::ScreenCaptureNames> names;
};

std::string writerFormat(const std::string& extension) {
  std::string format = extension;
  for (char& c : format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // PNG is ours to write; asking Qt would load every image plugin first.
  if (format == "png") return format;
  if (!QImageWriter::supportedImageFormats().contains(QByteArray::fromStdString(format)))
    throw CaptureError("cannot write images of type \"" + extension + "\"");
  return format;
}

void checkWritableFolder(const std::string& folder) {
  struct stat status {};
  int error = 0;
  if (stat(folder.c_str(), &status) != 0)
    error = errno;
  else if (!S_ISDIR(status.st_mode))
    error = ENOTDIR;
  else if (access(folder.c_str(), W_OK | X_OK) != 0)
    error = errno;
  if (error != 0)
    throw CaptureError("cannot write into \"" + folder + "\": " + std::strerror(error));
}

// Settled before capturing, so that a user never chooses a picture that cannot be kept.
Destination chooseDestination(const CaptureOptions& options) {
  Destination destination;
  const std::string type = platform::screenCaptureType();
  if (options.file) {
    const std::string& file = *options.file;
    const size_t slash = file.rfind('/'), dot = file.rfind('.');
    destination.file = file;
    destination.folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const bool suffixed = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    destination.extension = suffixed ? file.substr(dot + 1) : type;
  } else {
    destination.folder = platform::screenCaptureLocation();
    destination.extension = type;
    destination.names = platform::ScreenCaptureNames::fromLocalization();
    if (!destination.names)
      throw CaptureError("the capture tool's localization (ScreenCapture.strings) is missing");
  }
  destination.format = writerFormat(destination.extension);
  checkWritableFolder(destination.folder);
  return destination;
}

QByteArray encode(const QImage& image, const std::string& format) {
  if (format == "png") return encodePng(image);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, QByteArray::fromStdString(format));
  if (!writer.write(image))
    throw CaptureError("cannot encode the picture as " + format + ": " +
                       writer.errorString().toStdString());
  return bytes;
}

std::string place(PendingFile& pending, const Destination& destination) {
  if (destination.file) return pending.placeAt(*destination.file);
  return pending.placeNumbered([&](long number) {
    return destination.names->name(std::to_string(number)) + "." + destination.extension;
  });
}

// jpg and jpeg, tif and tiff are one format to the image readers.
std::string canonicalFormat(std::string format) {
  if (format == "jpg") return "jpeg";
  if (format == "tif") return "tiff";
  return format;
}

void waitBeforeCapture(const CaptureOptions& options) {
  std::this_thread::sleep_for(std::chrono::duration<double>(options.delaySeconds));
}

bool onWayland() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland;
}

// What to install where the desktop's portal takes no screenshots.
const char* const WaylandInstallHint =
    "kapsho-capture: install xdg-desktop-portal-gtk (beside xdg-desktop-portal-wlr on sway and "
    "other wlroots desktops), or grim and slurp";

// The portal's file, moved into place, or encoded again for another type.
int placePortalShot(const std::string& shot, const std::optional<Destination>& destination) {
  const std::string shotFormat = QImageReader(QString::fromStdString(shot)).format().toStdString();
  if (!destination) {
    QImage image(QString::fromStdString(shot));
    if (image.isNull()) throw CaptureError("the screenshot portal gave no picture: " + shot);
    copyWithWlCopy(encode(image, "png"));
    unlink(shot.c_str());
    return 0;
  }
  PendingFile pending(destination->folder);
  if (canonicalFormat(shotFormat) == canonicalFormat(destination->format)) {
    pending.adopt(shot);
  } else {
    QImage image(QString::fromStdString(shot));
    if (image.isNull()) throw CaptureError("the screenshot portal gave no picture: " + shot);
    pending.write(encode(image, destination->format).toStdString());
  }
  std::puts(place(pending, *destination).c_str());
  unlink(shot.c_str());
  return 0;
}

// grim's PNG, written into place, or encoded again for another type.
int placePngShot(const QByteArray& png, const std::optional<Destination>& destination) {
  if (!destination) {
    copyWithWlCopy(png);
    return 0;
  }
  PendingFile pending(destination->folder);
  if (destination->format == "png") {
    pending.write(png.toStdString());
  } else {
    const QImage image = QImage::fromData(png, "png");
    if (image.isNull()) throw CaptureError("grim gave no picture");
    pending.write(encode(image, destination->format).toStdString());
  }
  std::puts(place(pending, *destination).c_str());
  return 0;
}

// Through the desktop's portal; where it offers no screenshots, through grim where installed.
int captureOnWayland(const CaptureOptions& options, const std::optional<Destination>& destination,
                     int argc, char** argv) {
  QCoreApplication application(argc, argv);
  waitBeforeCapture(options);
  try {
    return placePortalShot(PortalScreenshot::take(options.interactive), destination);
  } catch (const NoScreenshotPortal& error) {
    if (!grimInstalled()) throw CaptureError(std::string(error.what()) + "\n" + WaylandInstallHint);
  }
  return placePngShot(takeWithGrim(options.interactive), destination);
}

void writeInPlace(const QImage& image, const Destination& destination) {
  PendingFile pending(destination.folder);
  const QByteArray bytes = encode(image, destination.format);
  pending.write(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
  std::puts(place(pending, destination).c_str());
}

// The whole screen into a file, what a key binding asks for: read straight from the X server,
// without Qt's graphical start and grab, which took longer than encoding the picture.
int captureScreenToFile(const CaptureOptions& options, const Destination& destination,
                        const X11Display& display, int argc, char** argv) {
  // Qt's image writers find their plug-ins through an application; PNG is written without them.
  std::optional<QCoreApplication> application;
  if (destination.format != "png") application.emplace(argc, argv);
  waitBeforeCapture(options);
  const auto image = display.rootImage();
  if (!image) throw CaptureError("the X server did not give the screen's picture");
  writeInPlace(*image, destination);
  return 0;
}

int captureOnX11(const CaptureOptions& options, const std::optional<Destination>& destination,
                 const X11Display& display, int argc, char** argv) {
  if (!options.interactive && destination && display.sendsRGB32())
    return captureScreenToFile(options, *destination, display, argc, argv);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QGuiApplication application(argc, argv);
  waitBeforeCapture(options);
  const auto image = captureX11(options.interactive, display);
  if (!image) throw CaptureError("cancelled: nothing captured");
  if (!destination) {
    serveClipboard(*image);
    return 0;
  }
  writeInPlace(*image, *destination);
  return 0;
}

}  // namespace

int runCapture(const CaptureOptions& options, int argc, char** argv) {
  try {
    std::optional<Destination> destination;
    if (!options.clipboard) destination = chooseDestination(options);
    if (onWayland()) return captureOnWayland(options, destination, argc, argv);
    // The owner forks before any connection exists: a socket shared by two processes breaks.
    if (options.clipboard)
      if (auto status = splitOffClipboardOwner()) return *status;
    const auto display = X11Display::open();
    if (!display)
      throw CaptureError("no display: neither WAYLAND_DISPLAY nor DISPLAY names one that answers");
    return captureOnX11(options, destination, *display, argc, argv);
  } catch (const CaptureError& error) {
    std::fprintf(stderr, "kapsho-capture: %s\n", error.what());
    return 1;
  }
}

}  // namespace kapsho_capture
