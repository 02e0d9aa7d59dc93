// Figures for the seed sources and the engine: loading a 100,000-line seed
// file, one lookup, and the 21 codes of one preview.
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "base32.h"
#include "seed_file.h"
#include "totp.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename F>
double MicrosecondsOf(F&& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// CPU time of this thread, which other work on a busy machine does not inflate.
double ThreadCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

}  // namespace

int main() {
  constexpr int kLines = 100000;
  constexpr int kRuns = 15;

  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  const QString path = dir.filePath(QStringLiteral("seeds.csv"));
  {
    // Serial numbers of 10 digits and 32-character secrets (20 bytes), CR LF.
    std::string content;
    content.reserve(static_cast<std::size_t>(kLines) * 46);
    uint8_t bytes[20];
    char secret[40];
    for (int i = 0; i < kLines; ++i) {
      for (int b = 0; b < 20; ++b) bytes[b] = static_cast<uint8_t>(i * 31 + b * 7);
      seed::Base32Encode(bytes, sizeof bytes, secret);
      char serial[16];
      std::snprintf(serial, sizeof serial, "%010d", 400000000 + i);
      content += serial;
      content += ',';
      content += secret;
      content += "\r\n";
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return 1;
    file.write(content.data(), static_cast<qint64>(content.size()));
    std::printf("seed file: %d lines, %zu bytes\n", kLines, content.size());
  }

  std::vector<double> loads, loadsCpu, freshLoads;
  for (int run = 0; run < kRuns; ++run) {
    sources::SeedTable::Clear();
    freshLoads.push_back(MicrosecondsOf([&] { sources::LoadSeedFile(path); }) / 1000.0);
  }
  for (int run = 0; run < kRuns; ++run) {
    bool ok = false;
    const double cpuStart = ThreadCpuMicroseconds();
    loads.push_back(MicrosecondsOf([&] { ok = sources::LoadSeedFile(path); }) / 1000.0);
    loadsCpu.push_back((ThreadCpuMicroseconds() - cpuStart) / 1000.0);
    if (!ok || sources::SeedTable::Size() != kLines) {
      std::printf("load failed\n");
      return 1;
    }
  }
  std::printf("LoadSeedFile into an empty table: median %.2f ms\n", Median(freshLoads));
  std::printf("LoadSeedFile: median %.2f ms, best %.2f ms, median CPU %.2f ms (%d runs replacing a full table; "
              "target well under 100 ms)\n",
              Median(loads), *std::min_element(loads.begin(), loads.end()), Median(loadsCpu), kRuns);

  constexpr int kLookups = 100000;
  std::vector<QByteArray> serials;
  for (int i = 0; i < kLookups; ++i) serials.push_back(QByteArray::number(400000000 + (i * 7919) % kLines).rightJustified(10, '0'));
  int found = 0;
  const double lookupTotal = MicrosecondsOf([&] {
    for (const QByteArray& serial : serials) found += sources::SeedTable::Lookup(serial).has_value();
  });
  std::printf("SeedTable::Lookup: %.3f us per lookup (%d of %d found)\n", lookupTotal / kLookups, found, kLookups);

  struct Preview {
    const char* name;
    seed::OtpAlgorithm algorithm;
    std::size_t secretBytes;
  };
  const Preview previews[] = {{"SHA1, 20-byte secret", seed::OtpAlgorithm::Sha1, 20},
                              {"SHA256, 128-byte secret", seed::OtpAlgorithm::Sha256, 128}};
  for (const Preview& preview : previews) {
    std::vector<uint8_t> bytes(preview.secretBytes, 0x3C);
    std::string secret((8 * bytes.size() + 4) / 5 + 1, '\0');
    secret.resize(static_cast<std::size_t>(seed::Base32Encode(bytes.data(), bytes.size(), secret.data())));
    std::vector<double> times;
    uint64_t sink = 0;
    for (int run = 0; run < 200; ++run) {
      times.push_back(MicrosecondsOf([&] {
        for (int offset = -10; offset <= 10; ++offset) sink += seed::ComputeTotp(preview.algorithm, 30, secret, 6, offset);
      }));
    }
    std::printf("21 codes of one preview (%s): median %.1f us (checksum %llu)\n", preview.name, Median(times), static_cast<unsigned long long>(sink));
  }
  return 0;
}
