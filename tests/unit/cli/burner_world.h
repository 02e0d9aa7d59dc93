// The burner's run over an in-process PC/SC stack of emulated readers and
// tokens: the real Run, workers and engines, with the tokens fed as an
// operator would lay them.
#pragma once
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "burn_inputs.h"
#include "burn_options.h"
#include "burn_run.h"
#include "emulated_pcsc.h"
#include "export_set.h"
#include "pcsc_api.h"

struct BurnerOutcome {
  int status = -1;
  std::vector<QJsonObject> tokens;  // the JSON lines, in order
  QString errors;                   // standard error
  QString Results() const {         // "serial result; ..." for failure messages
    QStringList all;
    for (const QJsonObject& t : tokens) {
      all << t[QStringLiteral("serial")].toString() + u' ' + t[QStringLiteral("result")].toString() + u' ' +
                 t[QStringLiteral("message")].toString();
    }
    return all.join(QStringLiteral("; "));
  }
};

class BurnerWorld {
 public:
  BurnerWorld() {
    tokenlink::UsePcsc(&pcsc);
    // Each world its own lock files.
    qputenv("PCSCLITE_CSOCK_NAME", dir.filePath(QStringLiteral("pcscd.comm")).toLocal8Bit());
  }
  ~BurnerWorld() {
    tokenlink::UsePcsc(nullptr);
    station::UseExportLineWriter({});
  }

  std::shared_ptr<sim::TokenEmulator> Token(const std::string& serial, const std::string& key = {}) {
    sim::TokenConfig config;
    config.serialNumber = serial;
    if (!key.empty()) config.customerKeyHex = key;
    return std::make_shared<sim::TokenEmulator>(config);
  }

  // Lays the queue's tokens on the reader one after the other, the next once
  // the one in the field holds a seed; every token laid is kept in laid.
  void Queue(const std::string& reader, std::deque<std::shared_ptr<sim::TokenEmulator>> tokens) {
    std::lock_guard<std::mutex> lock(mutex);
    queues[reader] = std::move(tokens);
  }

  BurnerOutcome Burn(const QString& line, std::function<void(cli::Run&)> during = {}) {
    BurnerOutcome outcome;
    const auto parsed = cli::ParseOptions(line.split(u' ', Qt::SkipEmptyParts));
    if (!std::holds_alternative<cli::Options>(parsed)) {
      ADD_FAILURE() << qPrintable(std::get<cli::UsageError>(parsed).text);
      return outcome;
    }
    const auto prepared = cli::PrepareRun(std::get<cli::Options>(parsed), cli::SystemReaderLister());
    if (!std::holds_alternative<cli::RunSetup>(prepared)) {
      outcome.errors = std::get<QString>(prepared);
      return outcome;
    }
    const cli::RunSetup& setup = std::get<cli::RunSetup>(prepared);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
      cli::Reporter reporter(true, out, err, false);
      cli::Run run(setup, reporter);
      std::atomic<bool> done{false};
      std::thread feeder([&] { Feed(done); });
      std::thread watchdog([&] {
        // A run that does not end by itself is stopped, so a fault fails
        // the test instead of hanging it.
        for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) {
          ADD_FAILURE() << "the run did not end by itself";
          run.Interrupt();
        }
      });
      std::thread helper;
      if (during) helper = std::thread([&] { during(run); });
      outcome.status = run.Execute();
      done = true;
      feeder.join();
      watchdog.join();
      if (helper.joinable()) helper.join();
    }
    outcome.tokens = JsonLines(out);
    outcome.errors = QString::fromUtf8(Contents(err));
    std::fclose(out);
    std::fclose(err);
    return outcome;
  }

  sim::EmulatedPcsc pcsc;
  QTemporaryDir dir;

 private:
  void Feed(const std::atomic<bool>& done) {
    while (!done) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [reader, queue] : queues) {
          const std::shared_ptr<sim::TokenEmulator> in = pcsc.TokenIn(reader);
          if ((in && in->Seed().empty()) || queue.empty()) continue;
          pcsc.RemoveToken(reader);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          pcsc.InsertToken(reader, queue.front());
          queue.pop_front();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  static QByteArray Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    QByteArray all;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) all.append(buffer, static_cast<qsizetype>(n));
    return all;
  }
  static std::vector<QJsonObject> JsonLines(std::FILE* file) {
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : Contents(file).split('\n')) {
      if (!line.isEmpty()) lines.push_back(QJsonDocument::fromJson(line).object());
    }
    return lines;
  }

  std::mutex mutex;
  std::map<std::string, std::deque<std::shared_ptr<sim::TokenEmulator>>> queues;
};
