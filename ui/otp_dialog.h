// "One-Time Password": the 21 codes that the window's secret yields for the
// current time step and the ten steps before and after it, to compare with a
// token's display. Shows codes only; closed by its close box or Esc. Below the
// list the operator may type the code the token shows: the rows are computed
// anew for that moment, the typed code's row is selected and the dialog names
// the token's clock offset in time steps.
#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "totp.h"

class CMyListCtrl;

namespace Ui {
class CDiaLogOTP;
}

class CDiaLogOTP : public QDialog {
  Q_OBJECT

 public:
  explicit CDiaLogOTP(QWidget* parent = nullptr);
  ~CDiaLogOTP() override;

  // Fills the list, then runs the dialog. A secret that cannot be turned into
  // 8-bit text raises app::TextConversionError before the dialog shows.
  int exec() override;

  // Set by the opener before exec().
  QString m_secretText;  // the window's normalised secret, Base32
  int m_timeStep = 30;   // seconds
  int m_digits = 6;
  seed::OtpAlgorithm m_algorithm = seed::OtpAlgorithm::Sha1;
  CMyListCtrl* m_codeList = nullptr;

 private:
  void OnInitDialog();
  void FillCodes();
  void AddCodeRow(int offset, uint32_t code);
  // The rows' codes for the current time; the rows stay in place.
  void RefreshCodes();
  uint32_t CodeNow(int offset) const;
  // Bench check: finds the typed code among the rows.
  void OnTokenCodeEdited(const QString& text);
  void SelectRow(int row);
  void ShowMatch(const QString& text);

  std::unique_ptr<Ui::CDiaLogOTP> m_ui;
  std::string m_secretAnsi;  // m_secretText as 8-bit text, converted once when the rows are filled
};
