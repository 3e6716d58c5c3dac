#include "platform/appkit/Controls.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>

namespace platform {

namespace {

template <typename Widget>
Widget* as(QWidget* widget) {
  return qobject_cast<Widget*>(widget);
}

// Draws an image view's image in place of the label's own painting, so that the image's size,
// not its pixel size, decides how large it is drawn.
class ImageDrawing : public QObject {
  Q_OBJECT

 public:
  ImageDrawing(QLabel* label, std::shared_ptr<NSImage> image)
      : QObject(label), label_(label), image_(std::move(image)) {
    label->installEventFilter(this);
  }
  const std::shared_ptr<NSImage>& image() const { return image_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != label_ || event->type() != QEvent::Paint) return false;
    QPainter painter(label_);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target(), image_->pixels());
    return true;
  }

 private:
  QRectF target() const {
    const QSizeF bounds = label_->size();
    QSizeF size(image_->size().width, image_->size().height);
    if (size.width() > bounds.width() || size.height() > bounds.height())
      size.scale(bounds, Qt::KeepAspectRatio);
    return QRectF(
        QPointF((bounds.width() - size.width()) / 2, (bounds.height() - size.height()) / 2), size);
  }

  QLabel* label_;
  std::shared_ptr<NSImage> image_;
};

}  // namespace

NSRect NSView::bounds() const {
  if (!widget_) return {};
  return {{0, 0}, {static_cast<double>(widget_->width()), static_cast<double>(widget_->height())}};
}

void NSControl::setEnabled(bool enabled) {
  if (widget()) widget()->setEnabled(enabled);
}

bool NSButton::canWrap(const QWidget* widget) {
  return qobject_cast<const QAbstractButton*>(widget);
}

void NSButton::setTitle(const std::string& title) {
  if (auto* button = as<QAbstractButton>(widget())) button->setText(QString::fromStdString(title));
}

int NSButton::state() const {
  const auto* button = as<QAbstractButton>(widget());
  if (!button) return NSOffState;
  if (const auto* box = qobject_cast<const QCheckBox*>(button);
      box && box->checkState() == Qt::PartiallyChecked)
    return NSMixedState;
  return button->isChecked() ? NSOnState : NSOffState;
}

void NSButton::setState(int state) {
  auto* button = as<QAbstractButton>(widget());
  if (!button) return;
  if (auto* box = qobject_cast<QCheckBox*>(button); box && state == NSMixedState) {
    box->setTristate(true);
    box->setCheckState(Qt::PartiallyChecked);
    return;
  }
  button->setChecked(state == NSOnState);
}

bool NSTextField::canWrap(const QWidget* widget) {
  return qobject_cast<const QLabel*>(widget);
}

void NSTextField::setStringValue(const std::string& text) {
  if (auto* label = as<QLabel>(widget())) label->setText(QString::fromStdString(text));
}

bool NSPopUpButton::canWrap(const QWidget* widget) {
  return qobject_cast<const QComboBox*>(widget);
}

int NSPopUpButton::indexOfSelectedItem() const {
  const auto* popUp = as<QComboBox>(widget());
  return popUp ? popUp->currentIndex() : -1;
}

void NSPopUpButton::selectItemAtIndex(int index) {
  auto* popUp = as<QComboBox>(widget());
  if (!popUp) return;
  popUp->setCurrentIndex(index >= 0 && index < popUp->count() ? index : -1);
}

bool NSProgressIndicator::canWrap(const QWidget* widget) {
  return qobject_cast<const QProgressBar*>(widget);
}

void NSProgressIndicator::startAnimation(const NSObject*) {
  auto* bar = as<QProgressBar>(widget());
  if (!bar) return;
  bar->setRange(0, 0);
  bar->show();
}

void NSProgressIndicator::stopAnimation(const NSObject*) {
  if (auto* bar = as<QProgressBar>(widget())) bar->hide();
}

bool NSImageView::canWrap(const QWidget* widget) {
  return qobject_cast<const QLabel*>(widget);
}

std::shared_ptr<NSImage> NSImageView::image() const {
  auto* label = as<QLabel>(widget());
  if (!label) return nullptr;
  if (auto* drawing = label->findChild<ImageDrawing*>(QString(), Qt::FindDirectChildrenOnly))
    return drawing->image();
  auto image = NSImage::imageWithPixels(label->pixmap().toImage());
  if (image) new ImageDrawing(label, image);
  return image;
}

}  // namespace platform

#include "Controls.moc"
