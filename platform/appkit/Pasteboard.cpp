#include "platform/appkit/Pasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "platform/appkit/Application.h"

namespace platform {

namespace {

QClipboard& clipboard() {
  NSApplication::sharedApplication();
  return *QGuiApplication::clipboard();
}

}  // namespace

NSPasteboard& NSPasteboard::generalPasteboard() {
  static NSPasteboard pasteboard;
  return pasteboard;
}

long NSPasteboard::declareTypes(const std::vector<std::string>& types, NSObject*) {
  declared_ = types;
  clipboard().clear(QClipboard::Clipboard);
  return ++changeCount_;
}

bool NSPasteboard::setString(const std::string& text, const std::string& type) {
  if (type != NSStringPboardType) return false;
  clipboard().setText(QString::fromStdString(text), QClipboard::Clipboard);
  return true;
}

std::optional<std::string> NSPasteboard::stringForType(const std::string& type) const {
  if (type != NSStringPboardType) return std::nullopt;
  const QMimeData* data = clipboard().mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

}  // namespace platform
