#include "app/qt/update_file_dialog.h"

#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <optional>

namespace tamblet {
namespace {

// The path of the existing entry that `path` names, in the bytes the system
// knows it by. Qt decodes names as UTF-8 with a replacement character for each
// byte that is not, so a name like "caf\xE9.pgm" is found again as the one
// entry of its folder that decodes to the same text.
std::optional<std::string> ExistingNativePath(const QString& path) {
  namespace fs = std::filesystem;
  const QFileInfo info(path);
  std::error_code error;
  const std::string encoded = QFile::encodeName(info.absoluteFilePath()).toStdString();
  if (fs::exists(encoded, error)) return encoded;
  std::optional<std::string> found;
  const fs::path folder = QFile::encodeName(info.absolutePath()).toStdString();
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().native();
    if (QFile::decodeName(QByteArray::fromStdString(name)) != info.fileName()) continue;
    if (found) return std::nullopt;  // two names that read alike: neither can be told
    found = it->path().native();
  }
  return found;
}

}  // namespace

UpdateFileDialog::UpdateFileDialog(QWidget* parent) : QFileDialog(parent) {
  setOption(QFileDialog::DontUseNativeDialog);
  setAcceptMode(QFileDialog::AcceptOpen);
  setFileMode(QFileDialog::ExistingFile);
  // "*" and not "*.*", which Qt takes literally: names without a dot would not show.
  setNameFilters({QStringLiteral("program files (*.pgm)"), QStringLiteral("All Files (*)")});
  selectNameFilter(QStringLiteral("program files (*.pgm)"));
}

void UpdateFileDialog::accept() {
  setDefaultSuffix(QString());
  const QStringList typed = selectedFiles();
  std::error_code error;
  if (typed.size() == 1) {
    if (auto native = ExistingNativePath(typed.front());
        native && !std::filesystem::is_directory(*native, error)) {
      chosen_ = *native;
      QDialog::accept();
      return;
    }
  }
  setDefaultSuffix(QStringLiteral("sdy"));
  QFileDialog::accept();  // the suffixed name, a folder to open, or its warning
  if (result() == QDialog::Accepted && !selectedFiles().isEmpty())
    chosen_ = QFile::encodeName(selectedFiles().front()).toStdString();
}

}  // namespace tamblet
