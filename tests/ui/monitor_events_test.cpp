// The monitors on the service's events, against emulated readers: they look
// at a reader only when its state changed, see a token swapped between two
// looks, wake at once for Connect and for closing, list a reader attached
// while they wait, and fall back to 50 ms passes where the service gives no
// reader events or when events are turned off.
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>

#include "emulated_station.h"
#include "monitor_watching.h"

namespace {

// Counts the PC/SC calls that look at readers, forwarding each to the
// emulated stack.
class CountingPcsc : public tokenlink::PcscApi {
 public:
  explicit CountingPcsc(tokenlink::PcscApi& inner) : m_inner(inner) {}
  std::atomic<int> contexts{0}, listings{0}, connects{0}, waits{0};

  int32_t EstablishContext(uint32_t scope, tokenlink::PcscContext* context) override {
    ++contexts;
    return m_inner.EstablishContext(scope, context);
  }
  int32_t ReleaseContext(tokenlink::PcscContext context) override { return m_inner.ReleaseContext(context); }
  int32_t ListReaders(tokenlink::PcscContext context, char* multiString, uint32_t* length) override {
    ++listings;
    return m_inner.ListReaders(context, multiString, length);
  }
  int32_t Connect(tokenlink::PcscContext context, const char* reader, uint32_t shareMode, uint32_t protocols,
                  tokenlink::PcscCard* card, uint32_t* activeProtocol) override {
    ++connects;
    return m_inner.Connect(context, reader, shareMode, protocols, card, activeProtocol);
  }
  int32_t Disconnect(tokenlink::PcscCard card, uint32_t disposition) override {
    return m_inner.Disconnect(card, disposition);
  }
  int32_t Transmit(tokenlink::PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override {
    return m_inner.Transmit(card, protocol, command, commandLength, response, responseLength);
  }
  int32_t GetStatusChange(tokenlink::PcscContext context, uint32_t timeoutMs, tokenlink::ReaderState* states,
                          std::size_t count) override {
    ++waits;
    return m_inner.GetStatusChange(context, timeoutMs, states, count);
  }
  int32_t Cancel(tokenlink::PcscContext context) override { return m_inner.Cancel(context); }

  void Clear() { contexts = listings = connects = waits = 0; }

 private:
  tokenlink::PcscApi& m_inner;
};

const std::string kSecondReader = "Emulated Reader 1";

}  // namespace

class MonitorEventsTest : public EmulatedStationTest {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void idleMonitorsLookOnlyWhenTheReaderChanges();
  void tokenSwappedBetweenTwoLooksIsReadAnew();
  void connectAndCloseEndAWaitAtOnce();
  void readerAttachedWhileWaitingIsListedAtOnce();
  void withoutReaderEventsTheReadersArePolled();
  void eventsTurnedOffThePassesRunAsBefore();
  void panelClocksTickWhileATokenIsShown();

 private:
  // The window opened over the counting stack; prepare runs on the emulated
  // stack before the window's monitors start.
  void Open(const std::function<void()>& prepare = {});
  QLabel* CauseLabel() const { return m_dlg->findChild<QLabel*>(QStringLiteral("causeLabel")); }
  // Both monitors wait in GetStatusChange.
  void WaitUntilBothMonitorsWait() { QTRY_COMPARE(m_pcsc->WaitingCalls(), 2); }
  bool ClockTickActive() const {
    for (QTimer* timer : m_dlg->findChildren<QTimer*>())
      if (timer->isActive() && timer->isSingleShot() && timer->interval() <= 1005) return true;
    return false;
  }

  std::unique_ptr<CountingPcsc> m_counting;
};

void MonitorEventsTest::init() {}

void MonitorEventsTest::Open(const std::function<void()>& prepare) {
  StartStack();
  if (prepare) prepare();
  m_counting = std::make_unique<CountingPcsc>(*m_pcsc);
  tokenlink::UsePcsc(m_counting.get());
  OpenWindow();
}

void MonitorEventsTest::cleanup() {
  qunsetenv("ZERAZADUZU_PCSC_POLLING");
  EndStation();
  m_counting.reset();
}

void MonitorEventsTest::idleMonitorsLookOnlyWhenTheReaderChanges() {
  Open();
  LayToken("ZZIDLE0001");
  ConnectTo(kReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZIDLE0001"));
  QCOMPARE(CauseLabel()->toolTip(), QString());
  WaitUntilBothMonitorsWait();

  // The passes of old made 20 contexts, connections and listings a second
  // each; waiting, the monitors make none, and list once every 5 s.
  m_counting->Clear();
  QTest::qWait(2500);
  QCOMPARE(m_counting->connects.load(), 0);
  QCOMPARE(m_counting->contexts.load(), 0);
  QVERIFY2(m_counting->listings.load() <= 1, qPrintable(QString::number(m_counting->listings.load())));

  // A change is looked at once.
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"), 500);
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());
}

// A token taken off and another laid before the monitor looks: the reader's
// count of insertions and removals tells, and the new one is read.
void MonitorEventsTest::tokenSwappedBetweenTwoLooksIsReadAnew() {
  Open();
  ConnectTo(kReaderText);
  auto first = LayToken("ZZSWAP0001");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZSWAP0001"));
  auto second = std::make_shared<sim::TokenEmulator>(sim::TokenConfig{.serialNumber = "ZZSWAP0002"});
  for (int i = 0; i < 10; ++i) {
    WaitUntilBothMonitorsWait();
    const auto& next = i % 2 == 0 ? second : first;
    const QString serial = i % 2 == 0 ? QStringLiteral("ZZSWAP0002") : QStringLiteral("ZZSWAP0001");
    m_pcsc->RemoveToken(kReader);
    m_pcsc->InsertToken(kReader, next);
    QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), serial, 2000);
  }
}

void MonitorEventsTest::connectAndCloseEndAWaitAtOnce() {
  Open([this] { m_pcsc->AddReader(kSecondReader); });
  LayToken("ZZWAKE0002", kSecondReader);
  ConnectTo(kReaderText);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  WaitUntilBothMonitorsWait();

  // Connect to the other reader: the wait on the first one is cancelled, and
  // the token on the second is shown well within the longest wait (5 s).
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  combo->setCurrentIndex(combo->findText(QString::fromStdString(kSecondReader)));
  QElapsedTimer connected;
  connected.start();
  ControlOf<QPushButton>(m_dlg, kConnectButton)->click();
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZWAKE0002"), 5000);
  QVERIFY2(connected.elapsed() < 100, qPrintable(QString::number(connected.elapsed())));

  // Closing wakes both waits and returns at once.
  WaitUntilBothMonitorsWait();
  QElapsedTimer closing;
  closing.start();
  m_dlg->done(0);
  QVERIFY2(closing.elapsed() < 100, qPrintable(QString::number(closing.elapsed())));
  QCOMPARE(m_pcsc->WaitingCalls(), 0);
}

void MonitorEventsTest::readerAttachedWhileWaitingIsListedAtOnce() {
  Open();
  ConnectTo(kReaderText);
  auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
  WaitUntilBothMonitorsWait();
  // Listed on the reader event, long before the listing every 5 s.
  m_pcsc->AddReader(kSecondReader);
  QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 2, 600);
  QCOMPARE(combo->itemText(1), QString::fromStdString(kSecondReader));
  QCOMPARE(combo->currentText(), kReaderText);
  WaitUntilBothMonitorsWait();
  m_pcsc->RemoveReader(kSecondReader);
  QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 600);

  // The chosen reader unplugged and plugged in again: said, then watched again.
  LayToken("ZZBACK0001");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZBACK0001"));
  m_pcsc->RemoveReader(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
  QCOMPARE(LabelText(m_dlg, kSerialLabel), QString());
  m_pcsc->AddReader(kReader);
  LayToken("ZZBACK0002");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZBACK0002"));
}

// An old pcscd without the PnP pseudo-reader: readers are listed every pass
// as before, and the cause line's tooltip says why.
void MonitorEventsTest::withoutReaderEventsTheReadersArePolled() {
  Open([this] { m_pcsc->SetPnpNotification(false); });
  ConnectTo(kReaderText);
  QTRY_COMPARE(CauseLabel()->toolTip(), ui::WatchingNote(ui::Watching::PollingNoEvents));
  LayToken("ZZOLD00001");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZOLD00001"));
  m_counting->Clear();
  QTest::qWait(1000);
  QVERIFY2(m_counting->listings.load() >= 10, qPrintable(QString::number(m_counting->listings.load())));
  // The card monitor still waits for the reader's own events.
  QCOMPARE(m_counting->connects.load(), 0);
  m_pcsc->AddReader(kSecondReader);
  QTRY_COMPARE(ControlOf<QComboBox>(m_dlg, kReaderCombo)->count(), 2);
}

void MonitorEventsTest::eventsTurnedOffThePassesRunAsBefore() {
  qputenv("ZERAZADUZU_PCSC_POLLING", "1");
  Open();
  QTRY_COMPARE(CauseLabel()->toolTip(), ui::WatchingNote(ui::Watching::PollingForced));
  ConnectTo(kReaderText);
  LayToken("ZZPOLL0001");
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZPOLL0001"));
  m_counting->Clear();
  QTest::qWait(1000);
  // A context and a connection each pass, and no waits.
  QVERIFY2(m_counting->connects.load() >= 10, qPrintable(QString::number(m_counting->connects.load())));
  QCOMPARE(m_counting->waits.load(), 0);
  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kTipsLabel), QStringLiteral("Token or card not detected"));
}

void MonitorEventsTest::panelClocksTickWhileATokenIsShown() {
  Open();
  TestClock& clock = UseClock(QDateTime(QDate(2026, 12, 11), QTime(9, 0, 0), Qt::UTC));
  ConnectTo(kReaderText);
  QTest::qWait(1200);
  QVERIFY(!ClockTickActive());
  LayToken(sim::TokenConfig{.serialNumber = "ZZTICK0001", .clockBase = 1709622489});  // 2024-03-05 07:08:09
  QTRY_COMPARE(LabelText(m_dlg, kSerialLabel), QStringLiteral("ZZTICK0001"));
  QCOMPARE(LabelText(m_dlg, kComputerClockLabel), QStringLiteral("2026-12-11 09:00:00"));
  QVERIFY(ClockTickActive());

  // Five seconds on both clocks: the panel follows at its next tick.
  clock.Set(QDateTime(QDate(2026, 12, 11), QTime(9, 0, 5), Qt::UTC));
  clock.Advance(5000);
  QTRY_COMPARE_WITH_TIMEOUT(LabelText(m_dlg, kComputerClockLabel), QStringLiteral("2026-12-11 09:00:05"), 2500);
  QTRY_VERIFY_WITH_TIMEOUT(LabelText(m_dlg, kTokenClockLabel).startsWith(QStringLiteral("2024-03-05 07:08:1")), 2500);

  m_pcsc->RemoveToken(kReader);
  QTRY_COMPARE(LabelText(m_dlg, kComputerClockLabel), QString());
  QVERIFY(!ClockTickActive());
}

QTEST_MAIN(MonitorEventsTest)
#include "monitor_events_test.moc"
