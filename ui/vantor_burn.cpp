// The window's side of the burn, seal and clock-sync workflows: its controls
// and the card monitor's findings become the burn engine's events, and the
// engine's actions become what the window shows. Every decision is the
// engine's.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "operator_messages.h"
#include "text_convert.h"
#include "token_clock.h"
#include "ui_vantor_dlg.h"
#include "vantor_dlg.h"

namespace {

constexpr int kBurnPauseMs = 500;

}  // namespace

void CVantorDlg::Dispatch(station::Event event) { m_driver.Dispatch(std::move(event)); }

station::Form CVantorDlg::CurrentForm() {
  NormaliseSecret();
  station::Form form;
  form.secretText = m_secret;
  form.choices = ReadChoices();
  form.syncClock = m_syncClockCheck->isChecked();
  form.exportLines = m_exportCheck->isChecked();
  form.userName = m_userNameEdit->text();
  return form;
}

void CVantorDlg::OnBurn() {
  if (IgnoringInput()) return;
  m_burnButton->setEnabled(false);
  m_burnButtonHeld = true;
  if (m_engine.BurnPending()) {
    Dispatch(station::StopPressed{});
  } else {
    Dispatch(station::BurnPressed{CurrentForm()});
  }
  // The pause keeps the button disabled without holding up the window.
  QTimer::singleShot(kBurnPauseMs, this, [this] {
    m_burnButtonHeld = false;
    m_burnButton->setEnabled(true);
    OnRefreshView();
  });
}

void CVantorDlg::OnSeal() {
  if (IgnoringInput()) return;
  Dispatch(station::SealPressed{});
}

void CVantorDlg::OnSyncClock() {
  if (IgnoringInput()) return;
  Dispatch(station::SyncPressed{});
}

QString CVantorDlg::TokenClockNow() const {
  if (!m_tokenClockSeconds) return TokenTimeText(app::WideToAnsi(m_tokenClock));
  return TokenTimeText(TokenClockTextNow());
}

QByteArray CVantorDlg::TokenClockTextNow() const {
  // The clock goes on running in the token: what was read is older by now.
  const int64_t elapsedMs = std::max<int64_t>(0, ui::ActiveWindowClock().MonotonicMs() - m_tokenClockReadAtMs);
  const int64_t now = static_cast<int64_t>(m_tokenClockSeconds.value_or(0)) + elapsedMs / 1000;
  return QByteArray::fromStdString(tokenlink::ClockText(tokenlink::ClockFieldsOf(now)));
}

void CVantorDlg::StartClockTick() {
  if (!m_clocksOpaque) PaintClocksOpaque();
  // Just after the computer clock's next second, so that it shows every
  // second once.
  m_clockTimer->start(1000 - ui::ActiveWindowClock().Now().time().msec() + 5);
}

void CVantorDlg::TickClocks() {
  if (m_serialNumber.isEmpty()) return;
  UpdateComputerClock();
  if (m_tokenClockSeconds) m_tokenClock = app::AnsiToWide(TokenClockTextNow());
  ShowClocks();
  StartClockTick();
}

QByteArray CVantorDlg::ClockTextFor(bool computerClock) {
  if (!computerClock) return app::WideToAnsi(TokenClockNow());
  UpdateComputerClock();
  ShowBoundTexts();
  return app::WideToAnsi(TokenTimeText(app::WideToAnsi(m_computerClock)));
}

// What the engine has the window show.

void CVantorDlg::Show(const station::ShowMessage& message) {
  ui::ShowOperatorMessage(this, message.caption, message.text, message.icon);
}

bool CVantorDlg::Ask(const QString& text) { return ui::AskOperator(this, ui::kCaptionStation, text); }

void CVantorDlg::ShowCounters(const station::ShowCounters& counters) {
  ShowCount(m_ui->totalCountLabel, counters.total);
  ShowCount(m_ui->successCountLabel, counters.success);
  ShowCount(m_ui->failCountLabel, counters.fail);
}

void CVantorDlg::ShowBurnPending(bool pending) {
  m_burnMode = pending;
  SetBurnCaption(pending ? QStringLiteral("Stop") : QStringLiteral("Burn"));
  OnRefreshView();
}

void CVantorDlg::ReadTokenAgain() { m_cardMonitor.ReadTokenAgain(); }
