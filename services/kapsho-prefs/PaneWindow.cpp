#include "services/kapsho-prefs/PaneWindow.h"

#include <QApplication>
#include <QIcon>
#include <QVBoxLayout>
#include <QWidget>

namespace kapsho_prefs {

int showInWindow(const LoadedPane& loaded) {
  QWidget window;
  window.setWindowTitle(QString::fromStdString(loaded.title));
  const platform::Value* icon =
      platform::valueForKey(loaded.pane->bundle().infoDictionary(), "NSPrefPaneIconFile");
  if (icon && icon->string())
    window.setWindowIcon(QIcon(
        QString::fromStdString(loaded.pane->bundle().resourcePath() + "/" + *icon->string())));
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  // The window takes the view and deletes it before the pane goes.
  layout->addWidget(loaded.view);
  window.setFixedSize(window.sizeHint());
  window.show();
  return QApplication::exec();
}

}  // namespace kapsho_prefs
