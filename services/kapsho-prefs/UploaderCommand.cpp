#include "services/kapsho-prefs/UploaderCommand.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>

#include "common/constants.h"
#include "platform/foundation/UserDefaults.h"

namespace kapsho_prefs {

namespace {

const std::string BuiltInWord = "none";

// While it lives, answers each file dialog that opens with the path: selects it and accepts, as a
// person would. The dialog's own check that the file exists is left out, so that the pane, not a
// message box, says what is wrong with a file that does not.
class FileDialogAnswer : public QObject {
 public:
  explicit FileDialogAnswer(QString path) : path_(std::move(path)) {
    QApplication::instance()->installEventFilter(this);
  }
  ~FileDialogAnswer() override { QApplication::instance()->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QFileDialog*>(watched);
    if (dialog && event->type() == QEvent::Show)
      QMetaObject::invokeMethod(
          dialog,
          [dialog, path = path_] {
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
          },
          Qt::QueuedConnection);
    return false;
  }

 private:
  QString path_;
};

std::string text(const platform::Dictionary& record, const std::string& key) {
  const platform::Value* value = platform::valueForKey(record, key);
  return value && value->string() ? *value->string() : std::string();
}

}  // namespace

std::string chooseUploaderFile(const UploaderControls& controls, const std::string& file) {
  const FileDialogAnswer answer(QDir::current().absoluteFilePath(QString::fromStdString(file)));
  controls.chooseButton->click();
  return controls.errorLabel->text().toStdString();
}

int uploaderCommand(const std::string& file, const UploaderControls& controls, std::ostream& out,
                    std::ostream& err) {
  std::string wrong;
  if (file != BuiltInWord) {
    wrong = chooseUploaderFile(controls, file);
  } else if (controls.builtInButton->isEnabled()) {
    controls.builtInButton->click();
    wrong = controls.errorLabel->text().toStdString();
  }
  if (wrong.empty()) {
    out << controls.label->text().toStdString() << "\n";
    return 0;
  }
  // The pane names the file by its whole path; the person gave it as they did.
  const std::string path =
      QDir::current().absoluteFilePath(QString::fromStdString(file)).toStdString();
  if (wrong.starts_with(path + ": ")) wrong.replace(0, path.size(), file);
  err << "kapsho-prefs: " << wrong << "\n";
  return 1;
}

void printRecentUploads(std::ostream& out) {
  const auto domain = platform::NSUserDefaults::persistentDomainForName(DaemonBundleID);
  const platform::Value* list = domain ? valueForKey(*domain, RecentImageUploadsKey) : nullptr;
  if (!list || !list->array()) return;
  for (const platform::Value& record : *list->array()) {
    const platform::Dictionary* fields = record.dictionary();
    if (!fields || text(*fields, "url").empty()) continue;
    const std::string deletion = text(*fields, RecentImageDeletionURLKey);
    out << text(*fields, "date") << "\t" << text(*fields, "url")
        << (deletion.empty() ? "" : "\t" + deletion) << "\n";
  }
}

}  // namespace kapsho_prefs
