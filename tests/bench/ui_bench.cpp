// Station benchmarks over a real pcscd (PCSCLITE_CSOCK_NAME) with one reader
// and a token on it. Prints figures; not a test.
//
//   ui_bench idle SECONDS PCSCD_PID   the station window (offscreen), connected
//                                     and idle: CPU of the station and pcscd
//   ui_bench bare SECONDS PCSCD_PID   the same PC/SC calls at the same rate,
//                                     without a window
//   ui_bench watch SECONDS PCSCD_PID PID
//                                     the same for another program (pcsc_scan)
//   ui_bench burn COUNT               Burn press to success message
//   ui_bench arrival COUNT            token laid (the virtual token's control
//                                     socket, ZZ_VTOKEN_CONTROL) to its serial
//                                     number shown, and pcscd's part of it
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../ui/virtual_token_control.h"
#include "app_values.h"
#include "operator_messages.h"
#include "pcsc_api.h"
#include "token_commands.h"
#include "vantor_dlg.h"

namespace {

double ProcessCpuSeconds(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A process's CPU time, as precisely as /proc tells: the run time of each of
// its threads in nanoseconds (schedstat), unless the clock ticks of the whole
// process (10 ms each, but counting threads that lived and ended meanwhile,
// as pcscd's thread for each short-lived client does) say clearly more.
class ProcessCpu {
 public:
  explicit ProcessCpu(long pid) : m_pid(pid), m_start(Read()) {}
  double SecondsSinceStart() const {
    const Reading now = Read();
    const double ticks = now.tickSeconds - m_start.tickSeconds;
    double threads = 0;
    for (const auto& [id, ns] : now.threads) {
      const auto before = m_start.threads.find(id);
      threads += (ns - (before == m_start.threads.end() ? 0 : before->second)) / 1e9;
    }
    return ticks > threads + 0.02 ? ticks : threads;
  }

 private:
  struct Reading {
    std::map<std::string, double> threads;  // run time in ns by thread id
    double tickSeconds = 0;
  };
  Reading Read() const {
    Reading reading;
    reading.tickSeconds = ProcessCpuSeconds(m_pid);
    const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks)) {
      std::ifstream schedstat(entry.path() / "schedstat");
      double ns = 0;
      if (schedstat >> ns) reading.threads[entry.path().filename()] = ns;
    }
    return reading;
  }
  long m_pid;
  Reading m_start;
};

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string FirstReader() {
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  tokenlink::PcscContext context = 0;
  if (pcsc.EstablishContext(tokenlink::kScopeUser, &context) != 0) return {};
  char names[640] = {};
  uint32_t length = sizeof names;
  const bool ok = pcsc.ListReaders(context, names, &length) == 0;
  pcsc.ReleaseContext(context);
  return ok ? std::string(names) : std::string();
}

struct Measured {
  double ownCpu;
  double pcscdCpu;
  double seconds;
};

template <class Idle>
Measured Measure(int seconds, long pcscdPid, Idle idle) {
  const double own0 = OwnCpuSeconds();
  const ProcessCpu pcscd(pcscdPid);
  QElapsedTimer timer;
  timer.start();
  idle(seconds);
  return {OwnCpuSeconds() - own0, pcscd.SecondsSinceStart(), timer.elapsed() / 1000.0};
}

void Print(const char* what, const Measured& m) {
  std::printf("%-9s over %.1f s: own %.4f s CPU = %.3f %% of a core; pcscd %.4f s = %.3f %%; together %.3f %%\n", what,
              m.seconds, m.ownCpu, 100 * m.ownCpu / m.seconds, m.pcscdCpu, 100 * m.pcscdCpu / m.seconds,
              100 * (m.ownCpu + m.pcscdCpu) / m.seconds);
}

class SilentMessages : public ui::OperatorMessages {
 public:
  void Show(QWidget*, const QString&, const QString& text, ui::MessageIcon) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts.push_back(text);
    m_when.push_back(std::chrono::steady_clock::now());
    if (m_loop) m_loop->quit();
  }
  // The bench measures burns: every question is answered Yes.
  bool Ask(QWidget*, const QString&, const QString&) override { return true; }
  QEventLoop* m_loop = nullptr;  // quit when a message comes
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_texts.size();
  }
  std::pair<QString, std::chrono::steady_clock::time_point> Last() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_texts.back(), m_when.back()};
  }

 private:
  std::mutex m_mutex;
  std::vector<QString> m_texts;
  std::vector<std::chrono::steady_clock::time_point> m_when;
};

// A plain event loop, as the station's own: QTest's waits poll every 10 ms.
void RunEventLoopFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool ConnectStation(CVantorDlg& dlg, const QString& reader) {
  auto* combo = qobject_cast<QComboBox*>(dlg.Control(1018));
  if (!QTest::qWaitFor([&] { return combo->findText(reader) >= 0; }, 10000)) return false;
  combo->setCurrentIndex(combo->findText(reader));
  qobject_cast<QPushButton*>(dlg.Control(1019))->click();
  auto* serial = dlg.Control(1006);
  return QTest::qWaitFor([&] { return !serial->property("text").toString().isEmpty(); }, 10000);
}

int Idle(int seconds, long pcscdPid) {
  const QString reader = QString::fromStdString(FirstReader());
  SilentMessages messages;
  ui::UseMessages(&messages);
  CVantorDlg dlg;
  dlg.show();
  if (!ConnectStation(dlg, reader)) {
    std::fprintf(stderr, "no token detected on '%s'\n", qPrintable(reader));
    return 1;
  }
  RunEventLoopFor(1000);  // settle
  const Measured m = Measure(seconds, pcscdPid, [](int s) { RunEventLoopFor(s * 1000); });
  Print("station", m);
  std::printf("station resident size (VmRSS) while idle: %ld KiB\n", ResidentKiB());
  return 0;
}

int Bare(int seconds, long pcscdPid) {
  const std::string reader = FirstReader();
  std::atomic<bool> stop{false};
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  auto card = [&] {
    while (!stop) {
      tokenlink::PcscContext context = 0;
      tokenlink::PcscCard handle = 0;
      uint32_t protocol = 0;
      if (pcsc.EstablishContext(tokenlink::kScopeSystem, &context) == 0) {
        if (pcsc.Connect(context, reader.c_str(), tokenlink::kShareShared, 3, &handle, &protocol) == 0)
          pcsc.Disconnect(handle, tokenlink::kLeaveCard);
        pcsc.ReleaseContext(context);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  auto list = [&] {
    while (!stop) {
      tokenlink::PcscContext context = 0;
      if (pcsc.EstablishContext(tokenlink::kScopeUser, &context) == 0) {
        char names[640] = {};
        uint32_t length = sizeof names;
        pcsc.ListReaders(context, names, &length);
        pcsc.ReleaseContext(context);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  std::thread a(card), b(list);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Measured m = Measure(seconds, pcscdPid, [](int s) { std::this_thread::sleep_for(std::chrono::seconds(s)); });
  stop = true;
  a.join();
  b.join();
  Print("bare", m);
  return 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

int Burn(int count) {
  const QString reader = QString::fromStdString(FirstReader());
  SilentMessages messages;
  ui::UseMessages(&messages);
  CVantorDlg dlg;
  dlg.show();
  if (!ConnectStation(dlg, reader)) return 1;
  qobject_cast<QPushButton*>(dlg.Control(1050))->click();
  qobject_cast<QLineEdit*>(dlg.Control(1047))->setText(QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"));
  auto* burn = qobject_cast<QPushButton*>(dlg.Control(1015));
  std::vector<double> total, prepare;
  for (int i = 0; i < count; ++i) {
    if (!QTest::qWaitFor([&] { return burn->isEnabled() && burn->text() == "Burn"; }, 10000)) return 1;
    // A random phase against the monitor's passes, as an operator's press has.
    RunEventLoopFor(static_cast<int>(QRandomGenerator::global()->bounded(100)));
    const std::size_t before = messages.Count();
    const auto pressed = std::chrono::steady_clock::now();
    burn->click();
    const auto prepared = std::chrono::steady_clock::now();
    QEventLoop loop;
    messages.m_loop = &loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    if (messages.Count() == before) loop.exec();
    messages.m_loop = nullptr;
    if (messages.Count() == before) return 1;
    const auto [text, shown] = messages.Last();
    if (text != QStringLiteral("Token successfully programmed!")) {
      std::fprintf(stderr, "burn %d: %s\n", i, qPrintable(text));
      return 1;
    }
    total.push_back(std::chrono::duration<double, std::milli>(shown - pressed).count());
    prepare.push_back(std::chrono::duration<double, std::milli>(prepared - pressed).count());
  }
  // The burn's own exchanges (authentication and seed write), timed directly.
  dlg.done(0);
  const QByteArray readerName = reader.toLocal8Bit();
  const QByteArray key = app::CustomerKey().toLatin1();
  const uint8_t seed[20] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  std::vector<double> exchanges;
  for (int i = 0; i < count; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    tokenlink::AuthenticateCustomerKey(readerName.constData(), key.constData());
    tokenlink::WriteSeed(readerName.constData(), key.constData(), seed, 20, 1);
    exchanges.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::vector<double> probes;
  tokenlink::PcscApi& pcsc = tokenlink::ActivePcsc();
  for (int i = 0; i < count; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    tokenlink::PcscContext context = 0;
    tokenlink::PcscCard handle = 0;
    uint32_t protocol = 0;
    if (pcsc.EstablishContext(tokenlink::kScopeSystem, &context) == 0) {
      if (pcsc.Connect(context, readerName.constData(), tokenlink::kShareShared, 3, &handle, &protocol) == 0)
        pcsc.Disconnect(handle, tokenlink::kLeaveCard);
      pcsc.ReleaseContext(context);
    }
    probes.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  const double t = Median(total), p = Median(prepare), e = Median(exchanges), probe = Median(probes);
  std::printf("burn press -> success message, median of %d: %.1f ms\n", count, t);
  std::printf("  the press handled to its end (preparation, serial reads, authentication, seed write,\n"
              "  booking, all on the window's thread): %.1f ms\n", p);
  std::printf("  authentication + seed write alone: %.1f ms\n", e);
  std::printf("  the card monitor's presence probe (context + connect + release), timed alone: %.1f ms\n", probe);
  std::printf("  (the 500 ms pause of Burn keeps only the button disabled; it is not on this path)\n");
  return 0;
}

// The moment pcscd reports a card on the reader, seen by a wait of its own.
class PresenceWatch {
 public:
  explicit PresenceWatch(const std::string& reader) : m_reader(reader) {
    tokenlink::ActivePcsc().EstablishContext(tokenlink::kScopeSystem, &m_context);
    m_thread = std::thread([this] { Run(); });
  }
  ~PresenceWatch() {
    m_stop = true;
    while (!m_ended) {
      tokenlink::ActivePcsc().Cancel(m_context);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_thread.join();
    tokenlink::ActivePcsc().ReleaseContext(m_context);
  }
  // When the card was first reported present since Reset, if it was.
  std::optional<std::chrono::steady_clock::time_point> Present() {
    std::lock_guard lock(m_mutex);
    return m_present;
  }
  void Reset() {
    std::lock_guard lock(m_mutex);
    m_present.reset();
  }

 private:
  void Run() {
    tokenlink::ReaderState entry{m_reader};
    while (!m_stop) {
      const int32_t rc = tokenlink::ActivePcsc().GetStatusChange(m_context, 1000, &entry, 1);
      if (rc == tokenlink::kScardSuccess && (entry.eventState & tokenlink::kStatePresent)) {
        std::lock_guard lock(m_mutex);
        if (!m_present) m_present = std::chrono::steady_clock::now();
      }
      if (rc == tokenlink::kScardSuccess || rc == tokenlink::kScardETimeout)
        entry.currentState = entry.eventState & ~tokenlink::kStateChanged;
    }
    m_ended = true;
  }
  std::string m_reader;
  tokenlink::PcscContext m_context = 0;
  std::atomic<bool> m_stop{false}, m_ended{false};
  std::mutex m_mutex;
  std::optional<std::chrono::steady_clock::time_point> m_present;
  std::thread m_thread;
};

// Runs the event loop until the label's text is there (shown) or gone,
// looking every millisecond; when that happened, or nothing after 10 s.
std::optional<std::chrono::steady_clock::time_point> WhenShown(QWidget* label, bool shown) {
  QEventLoop loop;
  std::optional<std::chrono::steady_clock::time_point> when;
  QTimer look;
  look.setTimerType(Qt::PreciseTimer);
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (label->property("text").toString().isEmpty() != shown) {
      when = std::chrono::steady_clock::now();
      loop.quit();
    }
  });
  look.start(1);
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  loop.exec();
  return when;
}

// Another program (pcsc_scan) beside pcscd, measured as the station is.
int Watch(int seconds, long pcscdPid, long otherPid) {
  const ProcessCpu other(otherPid);
  const ProcessCpu pcscd(pcscdPid);
  QElapsedTimer timer;
  timer.start();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const Measured m{other.SecondsSinceStart(), pcscd.SecondsSinceStart(), timer.elapsed() / 1000.0};
  Print("pcsc_scan", m);
  return 0;
}

int Arrival(int count) {
  const std::string readerName = FirstReader();
  SilentMessages messages;
  ui::UseMessages(&messages);
  CVantorDlg dlg;
  dlg.show();
  if (!ConnectStation(dlg, QString::fromStdString(readerName))) return 1;
  QWidget* serial = dlg.Control(1006);
  PresenceWatch watch(readerName);
  std::vector<double> total, reported, shownAfterReport;
  for (int i = 0; i < count; ++i) {
    if (!ControlOk("remove") || !WhenShown(serial, false)) return 1;
    // A random phase against pcscd's own look at the reader.
    RunEventLoopFor(100 + static_cast<int>(QRandomGenerator::global()->bounded(400)));
    watch.Reset();
    const auto laid = std::chrono::steady_clock::now();
    if (!ControlOk("insert")) return 1;
    const auto shown = WhenShown(serial, true);
    const auto present = watch.Present();
    if (!shown || !present) {
      std::fprintf(stderr, "arrival %d: not shown\n", i);
      return 1;
    }
    total.push_back(std::chrono::duration<double, std::milli>(*shown - laid).count());
    reported.push_back(std::chrono::duration<double, std::milli>(*present - laid).count());
    shownAfterReport.push_back(std::chrono::duration<double, std::milli>(*shown - *present).count());
  }
  std::printf("token laid -> serial number shown, median of %d: %.1f ms\n", count, Median(total));
  std::printf("  laid -> pcscd reports the card (pcscd's own look at the vpcd reader): %.1f ms\n", Median(reported));
  std::printf("  pcscd reports the card -> serial number shown: %.1f ms\n", Median(shownAfterReport));
  dlg.done(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "idle" && argc == 4) return Idle(std::atoi(argv[2]), std::atol(argv[3]));
  if (mode == "bare" && argc == 4) return Bare(std::atoi(argv[2]), std::atol(argv[3]));
  if (mode == "burn" && argc == 3) return Burn(std::atoi(argv[2]));
  if (mode == "arrival" && argc == 3) return Arrival(std::atoi(argv[2]));
  if (mode == "watch" && argc == 5) return Watch(std::atoi(argv[2]), std::atol(argv[3]), std::atol(argv[4]));
  std::fprintf(stderr, "usage: ui_bench idle SECONDS PCSCD_PID | bare SECONDS PCSCD_PID | burn COUNT | arrival COUNT | watch SECONDS PCSCD_PID PID\n");
  return 2;
}
