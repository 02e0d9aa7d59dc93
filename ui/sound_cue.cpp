// The secret cue: a generated tone handed to a player process through a pipe,
// or the desktop bell where no player exists.
#include "sound_cue.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>
#include <atomic>
#include <cmath>
#include <optional>

#include "seam.h"

namespace ui {
namespace {

constexpr int kSampleRate = 22050;
constexpr int kWaveHeaderSize = 44;

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

// A player that reads the tone from its standard input, so that the tone
// never passes through a file another user could name in advance.
struct Player {
  QString program;
  QStringList arguments;
  bool wantsWave;  // a WAV file on stdin; else raw 16-bit mono samples
};

class SystemCue : public SoundCue {
 public:
  void Play(int frequencyHz, int durationMs) override {
    const std::optional<Player> player = FindPlayer();
    if (!player) {
      QApplication::beep();
      return;
    }
    QByteArray tone = ToneWave(frequencyHz, durationMs);
    if (!player->wantsWave) tone.remove(0, kWaveHeaderSize);
    auto* process = new QProcess(qApp);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) {
        QApplication::beep();
        process->deleteLater();
      }
    });
    process->start(player->program, player->arguments);
    // Queued until the player runs; end of input ends the tone.
    process->write(tone);
    process->closeWriteChannel();
  }

 private:
  static std::optional<Player> FindPlayer() {
    static const std::optional<Player> found = []() -> std::optional<Player> {
      const Player candidates[] = {
          {QStringLiteral("aplay"), {QStringLiteral("-q"), QStringLiteral("-")}, true},
          {QStringLiteral("pacat"),
           {QStringLiteral("--playback"), QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
            QStringLiteral("--rate=%1").arg(kSampleRate), QStringLiteral("--channels=1")},
           false},
      };
      for (const Player& candidate : candidates) {
        const QString path = QStandardPaths::findExecutable(candidate.program);
        if (!path.isEmpty()) return Player{path, candidate.arguments, candidate.wantsWave};
      }
      return std::nullopt;
    }();
    return found;
  }
};

Seam<SoundCue> g_seam(SystemSoundCue);

}  // namespace

SoundCue& SystemSoundCue() {
  static SystemCue cue;
  return cue;
}

SoundCue& ActiveSoundCue() { return g_seam.Active(); }

void UseSoundCue(SoundCue* cue) { g_seam.Replace(cue); }

void PlaySecretCue() { ActiveSoundCue().Play(2000, 500); }

}  // namespace ui
