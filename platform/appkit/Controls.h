// The views and controls of an interface file, as the code that owns the interface sees them:
// handles to the widgets the file made. A handle holds no widget until its outlet is connected;
// until then every call on it does nothing and reads as empty, as a message to nil does. The
// widgets belong to the interface's main view; a handle never outlives it in use.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/Image.h"
#include "platform/foundation/Object.h"

class QWidget;

namespace platform {

struct NSPoint {
  double x = 0, y = 0;
};

struct NSRect {
  NSPoint origin;
  NSSize size;
};

class NSView : public NSObject {
 public:
  NSView() = default;
  explicit NSView(QWidget* widget) : widget_(widget) {}

  // The view's own coordinates: at the origin, with the view's size.
  NSRect bounds() const;

  QWidget* widget() const { return widget_; }

 private:
  QWidget* widget_ = nullptr;
};

class NSControl : public NSView {
 public:
  using NSView::NSView;
  void setEnabled(bool enabled);
};

// The state of a button: a checkbox is on, off, or mixed (partly checked).
enum NSCellStateValue : int { NSMixedState = -1, NSOffState = 0, NSOnState = 1 };

// A push button or a checkbox (a QAbstractButton).
class NSButton : public NSControl {
 public:
  using NSControl::NSControl;
  static bool canWrap(const QWidget* widget);

  void setTitle(const std::string& title);
  int state() const;
  void setState(int state);
};

// A line of text the user does not edit (a QLabel).
class NSTextField : public NSControl {
 public:
  using NSControl::NSControl;
  static bool canWrap(const QWidget* widget);

  void setStringValue(const std::string& text);
};

// A pop-up menu of titles, one of them chosen (a QComboBox).
class NSPopUpButton : public NSControl {
 public:
  using NSControl::NSControl;
  static bool canWrap(const QWidget* widget);

  // -1 when none is chosen.
  int indexOfSelectedItem() const;
  // An index out of range chooses none.
  void selectItemAtIndex(int index);
};

// An indeterminate progress bar (a QProgressBar), shown only while it animates.
class NSProgressIndicator : public NSView {
 public:
  using NSView::NSView;
  static bool canWrap(const QWidget* widget);

  // startAnimation: and stopAnimation:; the sender is not used.
  void startAnimation(const NSObject* sender);
  void stopAnimation(const NSObject* sender);
};

// A picture (a QLabel): the interface file's picture, or one set later, drawn at the image's
// size, centred and scaled down proportionally when it is larger than the view.
class NSImageView : public NSControl {
 public:
  using NSControl::NSControl;
  static bool canWrap(const QWidget* widget);

  // The image the view draws; nullptr when it has none. Changing its size changes how it is
  // drawn.
  std::shared_ptr<NSImage> image() const;
};

}  // namespace platform
