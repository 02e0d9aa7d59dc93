#include "otp_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QTreeWidgetItem>
#include <cstdlib>
#include <string>

#include "dialog_units.h"
#include "my_list_ctrl.h"
#include "program_icon.h"
#include "text_convert.h"
#include "ui_otp_dlg.h"

namespace {

constexpr int kStepsEachSide = 10;

QString CodeText(uint32_t code) { return QString::asprintf("%06u", code); }

}  // namespace

CDiaLogOTP::CDiaLogOTP(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CDiaLogOTP>()) {
  ui::InitStationResources();
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  ui::ApplyDialogUnits(this);
  m_codeList = m_ui->codeList;
  m_ui->tokenCodeEdit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), m_ui->tokenCodeEdit));
  connect(m_ui->tokenCodeEdit, &QLineEdit::textEdited, this, &CDiaLogOTP::OnTokenCodeEdited);
  ShowMatch(QString());
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
  m_secretAnsi = app::WideToAnsiChecked(m_secretText).toStdString();
  for (int offset = -kStepsEachSide; offset <= kStepsEachSide; ++offset) AddCodeRow(offset, CodeNow(offset));
  SelectRow(kStepsEachSide);
}

void CDiaLogOTP::RefreshCodes() {
  for (int row = 0; row < m_codeList->topLevelItemCount(); ++row) {
    m_codeList->topLevelItem(row)->setText(1, CodeText(CodeNow(row - kStepsEachSide)));
  }
}

uint32_t CDiaLogOTP::CodeNow(int offset) const {
  // Each code reads the clock itself, as the engine does for any caller.
  return seed::ComputeTotp(m_algorithm, static_cast<uint8_t>(m_timeStep), m_secretAnsi,
                           static_cast<uint8_t>(m_digits), offset);
}

void CDiaLogOTP::SelectRow(int row) {
  QTreeWidgetItem* item = m_codeList->topLevelItem(row);
  if (item == nullptr) return;
  m_codeList->setCurrentItem(item);
  item->setSelected(true);
  m_codeList->scrollToItem(item);
}

void CDiaLogOTP::OnTokenCodeEdited(const QString& text) {
  if (text.size() < m_digits) {
    // Half typed: back to the current step, nothing to say yet.
    SelectRow(kStepsEachSide);
    ShowMatch(QString());
    return;
  }
  // The token shows the code of the moment it is read, which may lie a step
  // boundary or more after the dialog opened: judge it against the rows of
  // that moment, and show those rows.
  RefreshCodes();
  // Two steps may share a code; the one nearest the current step is the
  // likelier clock offset.
  int best = -1;
  for (int row = 0; row < m_codeList->topLevelItemCount(); ++row) {
    if (m_codeList->topLevelItem(row)->text(1) != text) continue;
    if (best < 0 || std::abs(row - kStepsEachSide) < std::abs(best - kStepsEachSide)) best = row;
  }
  if (best < 0) {
    SelectRow(kStepsEachSide);
    ShowMatch(QStringLiteral("no match within \u00B1%1 steps").arg(kStepsEachSide));
    return;
  }
  SelectRow(best);
  ShowMatch(QStringLiteral("matches step ") + m_codeList->topLevelItem(best)->text(0));
}

void CDiaLogOTP::ShowMatch(const QString& text) {
  // The label shows a changing value, so its accessible name is that value.
  m_ui->tokenMatchLabel->setText(text);
  m_ui->tokenMatchLabel->setAccessibleName(text.isEmpty() ? QStringLiteral("No code typed") : text);
}

void CDiaLogOTP::AddCodeRow(int offset, uint32_t code) {
  const QString offsetText = offset > 0 ? QString::asprintf("+%d", offset) : QString::asprintf("%d", offset);
  const QString codeText = CodeText(code);
  auto* row = new QTreeWidgetItem(m_codeList);
  row->setText(0, offsetText);
  row->setText(1, codeText);
}
