// The About box: program icon, name and version, maker; closed by "Close" or Esc.
#pragma once
#include <QDialog>
#include <memory>

namespace Ui {
class CAboutDlg;
}

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

 private:
  std::unique_ptr<Ui::CAboutDlg> m_ui;
};
