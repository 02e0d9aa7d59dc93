// orvex-zerazaduzu-burn: the command-line burner. Burns the tokens laid on
// one or more readers, in parallel, on the station's burn engine; no window.
#include <QCoreApplication>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "burn_inputs.h"
#include "burn_options.h"
#include "burn_run.h"

namespace {

constexpr int kExitUsage = 2;

// What was printed reached standard output (a full disk or a closed pipe
// is an error, not a silent success).
int Printed() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "orvex-zerazaduzu-burn: cannot write to standard output\n");
  return 1;
}

int Fail(const QString& line) {
  std::fprintf(stderr, "orvex-zerazaduzu-burn: %s\n", qPrintable(line));
  return kExitUsage;
}

// Ctrl-C and SIGTERM are taken by a thread of their own (sigwait), so that
// the stop reaches the workers through ordinary code, not a signal handler.
class SignalThread {
 public:
  explicit SignalThread(cli::Run& run) : m_run(run) {
    m_thread = std::thread([this] { Loop(); });
  }
  ~SignalThread() {
    m_done = true;
    m_thread.join();
  }

 private:
  void Loop() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    const timespec tick{0, 100 * 1000 * 1000};
    bool told = false;
    while (!m_done) {
      if (sigtimedwait(&set, nullptr, &tick) < 0) continue;
      // The exchanges under way finish and are booked; a second signal
      // changes nothing, so that no token is left half-booked.
      if (!told) {
        std::fprintf(stderr, "orvex-zerazaduzu-burn: stopping; the burns under way finish first\n");
        told = true;
      }
      m_run.Interrupt();
    }
  }

  cli::Run& m_run;
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that every thread inherits it and
  // only the signal thread takes them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A reader of the output that goes away must not end the program in the
  // middle of a burn: the write fails instead, and the run goes on.
  std::signal(SIGPIPE, SIG_IGN);

  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("orvex-zerazaduzu-burn"));
  QCoreApplication::setApplicationVersion(QStringLiteral(ZZ_VERSION));

  const std::variant<cli::Options, cli::UsageError> parsed = cli::ParseOptions(application.arguments().mid(1));
  if (const auto* error = std::get_if<cli::UsageError>(&parsed)) {
    return Fail(error->text + QStringLiteral(" (see --help)"));
  }
  const cli::Options& options = std::get<cli::Options>(parsed);
  if (options.help) {
    std::fputs(qPrintable(cli::UsageText()), stdout);
    return Printed();
  }
  if (options.version) {
    std::printf("orvex-zerazaduzu-burn %s\n", ZZ_VERSION);
    return Printed();
  }
  if (options.listReaders) {
    const std::variant<QStringList, QString> readers = cli::AttachedReaders(cli::SystemReaderLister());
    if (const auto* why = std::get_if<QString>(&readers)) return Fail(*why);
    if (std::get<QStringList>(readers).isEmpty()) std::fprintf(stderr, "orvex-zerazaduzu-burn: no readers\n");
    for (const QString& reader : std::get<QStringList>(readers)) std::printf("%s\n", qPrintable(reader));
    return Printed();
  }

  std::variant<cli::RunSetup, QString> prepared = cli::PrepareRun(options, cli::SystemReaderLister());
  if (const auto* why = std::get_if<QString>(&prepared)) return Fail(*why);
  const cli::RunSetup& setup = std::get<cli::RunSetup>(prepared);

  cli::Reporter reporter(options.json, stdout, stderr, isatty(STDERR_FILENO) == 1);
  cli::Run run(setup, reporter);
  int status = 0;
  {
    SignalThread signalThread(run);
    status = run.Execute();
  }
  // Every token's line is in the export files; a report that could not be
  // written still fails the run, so that a script notices.
  if (reporter.OutputFailed() && status == 0) status = 1;
  return status;
}
