#include "platform/appkit/OpenPanel.h"

#include <QApplication>
#include <QFileDialog>

namespace platform {

NSOpenPanel NSOpenPanel::openPanel() {
  return NSOpenPanel();
}

NSModalResponse NSOpenPanel::runModal() {
  urls_.clear();
  QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(title_));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!types_.empty()) {
    QStringList patterns;
    for (const auto& type : types_) patterns << "*." + QString::fromStdString(type);
    dialog.setNameFilters({patterns.join(' '), QStringLiteral("All files (*)")});
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    return NSModalResponseCancel;
  urls_.push_back(NSURL::fileURLWithPath(dialog.selectedFiles().front().toStdString()));
  return NSModalResponseOK;
}

}  // namespace platform
