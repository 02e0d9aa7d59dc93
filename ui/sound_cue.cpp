// The secret cue: a generated WAV tone played by a detached player process, or
// the desktop bell where no player exists.
#include "sound_cue.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>
#include <atomic>
#include <cmath>

namespace ui {
namespace {

constexpr int kSampleRate = 22050;

QByteArray ToneWave(int frequencyHz, int durationMs) {
  const quint32 samples = static_cast<quint32>(kSampleRate) * static_cast<quint32>(durationMs) / 1000;
  QByteArray pcm(static_cast<int>(samples * 2), '\0');
  for (quint32 i = 0; i < samples; ++i) {
    const double value = std::sin(2.0 * M_PI * frequencyHz * i / kSampleRate);
    qToLittleEndian<qint16>(static_cast<qint16>(value * 12000), pcm.data() + 2 * i);
  }
  QByteArray wave;
  auto put32 = [&wave](quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    wave.append(b, 4);
  };
  auto put16 = [&wave](quint16 v) {
    char b[2];
    qToLittleEndian(v, b);
    wave.append(b, 2);
  };
  wave.append("RIFF");
  put32(36 + pcm.size());
  wave.append("WAVEfmt ");
  put32(16);
  put16(1);  // PCM
  put16(1);  // mono
  put32(kSampleRate);
  put32(kSampleRate * 2);
  put16(2);
  put16(16);
  wave.append("data");
  put32(pcm.size());
  wave.append(pcm);
  return wave;
}

class SystemCue : public SoundCue {
 public:
  ~SystemCue() override {
    for (const QString& path : std::as_const(m_files)) QFile::remove(path);
  }

  void Play(int frequencyHz, int durationMs) override {
    const QString player = Player();
    const QString wave = player.isEmpty() ? QString() : WaveFile(frequencyHz, durationMs);
    if (!wave.isEmpty() && QProcess::startDetached(player, {wave})) return;
    QApplication::beep();
  }

 private:
  static QString Player() {
    static const QString found = [] {
      for (const char* name : {"paplay", "pw-play", "aplay"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty()) return path;
      }
      return QString();
    }();
    return found;
  }

  // One file per tone, written on first use and kept for the run.
  QString WaveFile(int frequencyHz, int durationMs) {
    const QString key = QStringLiteral("%1-%2").arg(frequencyHz).arg(durationMs);
    auto it = m_files.find(key);
    if (it != m_files.end()) return it.value();
    const QString path = QDir::temp().filePath(
        QStringLiteral("orvex-zerazaduzu-%1-%2.wav").arg(QCoreApplication::applicationPid()).arg(key));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    file.write(ToneWave(frequencyHz, durationMs));
    file.close();
    m_files.insert(key, path);
    return path;
  }

  QHash<QString, QString> m_files;
};

std::atomic<SoundCue*> g_active{nullptr};

}  // namespace

SoundCue& SystemSoundCue() {
  static SystemCue cue;
  return cue;
}

SoundCue& ActiveSoundCue() {
  SoundCue* active = g_active.load();
  return active ? *active : SystemSoundCue();
}

void UseSoundCue(SoundCue* cue) { g_active.store(cue); }

void PlaySecretCue() { ActiveSoundCue().Play(2000, 500); }

}  // namespace ui
