#pragma once
// Qt's file-open dialog for update files, with two mends. Qt adds the default
// suffix to a typed name without a dot that its list does not hold, even when
// that name exists: here a name that exists as it stands is taken so, and only
// one that does not gets the suffix. And Qt's own check cannot see a name that
// is not UTF-8: such a name is found again by the bytes the system knows it by.

#include <QFileDialog>
#include <string>

namespace tamblet {

class UpdateFileDialog final : public QFileDialog {
 public:
  explicit UpdateFileDialog(QWidget* parent);

  // The chosen file's path as the system's bytes, after accept.
  const std::string& chosen() const { return chosen_; }

  void accept() override;

 private:
  std::string chosen_;
};

}  // namespace tamblet
