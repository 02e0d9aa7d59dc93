// Reader and card monitoring: the reader-list monitor keeps the "Reader:" list
// equal to the attached readers; the card monitor watches the reader chosen
// with Connect, reads each arriving token once and burns it while a burn is
// pending. Each runs as a loop on its own thread with its own PC/SC context;
// everything they do to the window happens on the window's thread, in order.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>

#include "app_values.h"
#include "seed_file.h"
#include "sound_cue.h"
#include "text_convert.h"
#include "token_commands.h"
#include "vantor_dlg.h"

namespace {

constexpr int kPassPauseMs = 50;
constexpr uint32_t kReaderListBufferSize = 640;
const QString kReaderEnd = QStringLiteral("[E]");

}  // namespace

int CVantorDlg::ListReaders(QString* readerList) {
  readerList->clear();
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  tokenlink::PcscContext context = 0;
  if (pcsc.EstablishContext(tokenlink::kScopeUser, &context) != tokenlink::kScardSuccess) return -1;
  char names[kReaderListBufferSize];
  std::memset(names, 0, sizeof names);
  uint32_t length = sizeof names;
  if (pcsc.ListReaders(context, names, &length) != tokenlink::kScardSuccess) {
    pcsc.ReleaseContext(context);
    return -1;
  }
  // A multi-string: names each ending in NUL, then one more NUL.
  const char* end = names + std::min<uint32_t>(length, sizeof names);
  for (const char* name = names; name < end && *name; name += std::strlen(name) + 1) {
    *readerList += app::AnsiToWide(name) + kReaderEnd;
  }
  pcsc.ReleaseContext(context);
  return 0;
}

void CVantorDlg::ReaderListMonitor() {
  do {
    QString readerList;
    const bool listed = ListReaders(&readerList) == 0;
    m_hop.Post([this, listed, readerList] { ApplyReaderList(listed, readerList); });
  } while (m_hop.Pause(kPassPauseMs));
}

void CVantorDlg::ApplyReaderList(bool listed, const QString& readerList) {
  if (!listed) {
    for (int i = m_readerCombo->count() - 1; i >= 0; --i) m_readerCombo->removeItem(i);
    ClearTokenTexts();
    OnRefreshView();
    return;
  }
  if (readerList.isEmpty()) {
    ClearTokenTexts();
    m_tips = QStringLiteral("No card reader detected.");
    TokenInfoPending = 1;
    BurnArmed = 1;
    OnRefreshView();
  } else if (m_readerCombo->currentIndex() < 0) {
    m_tips = QStringLiteral("Please select a card reader.");
    OnRefreshView();
  }
  // A reader stays while its name occurs anywhere in the list text.
  for (int i = m_readerCombo->count() - 1; i >= 0; --i) {
    if (readerList.contains(m_readerCombo->itemText(i))) continue;
    const bool wasSelected = m_readerCombo->currentIndex() == i;
    m_readerCombo->removeItem(i);
    // The list keeps no selection when the selected reader goes.
    if (wasSelected) m_readerCombo->setCurrentIndex(-1);
  }
  const int selected = m_readerCombo->currentIndex();
  int from = 0;
  for (int at = readerList.indexOf(kReaderEnd); at >= 0; at = readerList.indexOf(kReaderEnd, from)) {
    const QString name = readerList.mid(from, at - from);
    from = at + kReaderEnd.size();
    bool known = false;
    for (int i = 0; i < m_readerCombo->count() && !known; ++i) known = m_readerCombo->itemText(i) == name;
    if (!known) m_readerCombo->insertItem(m_readerCombo->count(), name);
  }
  // The choice is the operator's: adding a reader selects nothing.
  if (m_readerCombo->currentIndex() != selected) m_readerCombo->setCurrentIndex(selected);
  OnRefreshView();
}

void CVantorDlg::OnConnect() {
  if (m_readerCombo->currentIndex() < 0) {
    m_tips = QStringLiteral("Please select a card reader!");
    ShowBoundTexts();
    return;
  }
  app::SetSelectedReaderName(m_readerCombo->currentText());
  m_nextCardReader = m_readerCombo->currentText();
  if (m_cardThread.joinable()) {
    // The old chain ends at the start of its next pass; the new one starts
    // when it reports that, so the window never waits for it here (it may be
    // inside a burn with a message on screen).
    int running = 1;
    CardMonitorState.compare_exchange_strong(running, 2);
    m_restartCardMonitor = true;
    return;
  }
  StartCardMonitor();
}

void CVantorDlg::StartCardMonitor() {
  CardMonitorState = 1;
  m_cardRunning = true;
  m_cardThread = std::thread([this, reader = m_nextCardReader] {
    CardMonitor(reader);
    m_cardRunning = false;
  });
}

void CVantorDlg::OnCardMonitorStopped() {
  if (m_cardThread.joinable()) m_cardThread.join();
  if (m_restartCardMonitor) {
    m_restartCardMonitor = false;
    StartCardMonitor();
  }
}

void CVantorDlg::ReleaseMonitorSession() {
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  if (m_monitorSession.card) pcsc.Disconnect(m_monitorSession.card, tokenlink::kLeaveCard);
  m_monitorSession.card = 0;
  if (m_monitorSession.context) pcsc.ReleaseContext(m_monitorSession.context);
  m_monitorSession.context = 0;
  m_monitorSession.activeProtocol = 0;
}

void CVantorDlg::CardMonitor(QString readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  for (;;) {
    if (CardMonitorState == 2 || m_hop.Closing()) {
      CardMonitorState = 0;
      m_hop.Post([this] { OnCardMonitorStopped(); });
      return;
    }
    ReleaseMonitorSession();
    int32_t rc = pcsc.EstablishContext(tokenlink::kScopeSystem, &m_monitorSession.context);
    if (rc != tokenlink::kScardSuccess) {
      m_monitorSession.context = 0;
    } else {
      rc = pcsc.Connect(m_monitorSession.context, reader.constData(), tokenlink::kShareShared,
                        tokenlink::kProtocolT0 | tokenlink::kProtocolT1, &m_monitorSession.card,
                        &m_monitorSession.activeProtocol);
      if (rc != tokenlink::kScardSuccess) m_monitorSession.card = 0;
    }
    if (rc != tokenlink::kScardSuccess) {
      TokenInfoPending = 1;
      BurnArmed = 1;
      m_hop.Post([this] {
        ClearTokenTexts();
        m_tips = QStringLiteral("Token or card not detected");
        OnRefreshView();
      });
    } else {
      if (TokenInfoPending == 1 && RefreshTokenPanel(readerName) == 1) TokenInfoPending = 0;
      if (BurnArmed == 1 && m_burnMode == 1) {
        bool burn = false;
        m_hop.Run([&] { burn = BurnArmed == 1 && m_burnMode == 1 && !m_serialNumber.isEmpty(); });
        if (burn) BurnToken(readerName);
      }
    }
    ReleaseMonitorSession();
    m_hop.Pause(kPassPauseMs);
  }
}

int CVantorDlg::RefreshTokenPanel(const QString& readerName) {
  const QByteArray reader = app::WideToAnsi(readerName);
  tokenlink::TokenInfo info;
  const int32_t rc = tokenlink::ReadTokenInfo(reader.constData(), 32, 64, &info);
  const QString serial = app::AnsiToWide(QByteArray::fromStdString(info.serialNumber));
  const QString clock = app::AnsiToWide(QByteArray::fromStdString(info.clockText));
  m_hop.Post([this, rc, serial, clock] {
    if (rc == 0) {
      m_tips = QStringLiteral("Token or card detected");
      m_serialNumber = serial;
      m_tokenClock = clock;
      UpdateComputerClock();
      LookUpSeedBySerial();
      NormaliseSecret();
      if (!m_secret.isEmpty()) SetBurnEnabled(true);
    } else {
      ClearTokenTexts();
      m_tips = QStringLiteral("Token or card not detected");
      SetBurnEnabled(false);
    }
  });
  m_hop.Pause(kPassPauseMs);
  m_hop.Post([this] { OnRefreshView(); });
  return rc == 0 ? 1 : 0;
}

void CVantorDlg::LookUpSeedBySerial() {
  if (m_serialNumber.isEmpty()) return;
  const std::optional<QString> found = sources::SeedTable::Lookup(m_serialNumber);
  if (!found) return;
  m_secret = *found;
  m_secretEdit->setText(*found);
  ui::PlaySecretCue();
}
