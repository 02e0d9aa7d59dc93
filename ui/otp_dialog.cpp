#include "otp_dialog.h"

#include <QTreeWidgetItem>
#include <string>

#include "dialog_units.h"
#include "my_list_ctrl.h"
#include "program_icon.h"
#include "text_convert.h"
#include "ui_otp_dlg.h"

namespace {

constexpr int kStepsEachSide = 10;

}  // namespace

CDiaLogOTP::CDiaLogOTP(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CDiaLogOTP>()) {
  ui::InitStationResources();
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  ui::ApplyDialogUnits(this);
  m_codeList = m_ui->codeList;
}

CDiaLogOTP::~CDiaLogOTP() = default;

int CDiaLogOTP::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CDiaLogOTP::OnInitDialog() {
  m_codeList->clear();
  m_codeList->setColumnCount(2);
  m_codeList->setHeaderLabels({QStringLiteral("Time Step"), QStringLiteral("OTP Code")});
  // No rows yet: each column takes the width of its heading.
  m_codeList->FitColumns();
  FillCodes();
}

void CDiaLogOTP::FillCodes() {
  const std::string secret = app::WideToAnsiChecked(m_secretText).toStdString();
  for (int offset = -kStepsEachSide; offset <= kStepsEachSide; ++offset) {
    // Each code reads the clock itself, as the engine does for any caller.
    const uint32_t code = seed::ComputeTotp(m_algorithm, static_cast<uint8_t>(m_timeStep), secret,
                                            static_cast<uint8_t>(m_digits), offset);
    AddCodeRow(offset, code);
  }
  QTreeWidgetItem* current = m_codeList->topLevelItem(kStepsEachSide);
  if (current != nullptr) {
    m_codeList->setCurrentItem(current);
    current->setSelected(true);
  }
}

void CDiaLogOTP::AddCodeRow(int offset, uint32_t code) {
  const QString offsetText = offset > 0 ? QString::asprintf("+%d", offset) : QString::asprintf("%d", offset);
  const QString codeText = QString::asprintf("%06u", code);
  auto* row = new QTreeWidgetItem(m_codeList);
  row->setText(0, offsetText);
  row->setText(1, codeText);
}
