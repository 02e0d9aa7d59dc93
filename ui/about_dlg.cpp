#include "about_dlg.h"

#include "dialog_units.h"
#include "program_icon.h"
#include "ui_about_dlg.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CAboutDlg>()) {
  ui::InitStationResources();
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  ui::ApplyDialogUnits(this);
  setWindowIcon(ui::ProgramIcon());
}

CAboutDlg::~CAboutDlg() = default;
