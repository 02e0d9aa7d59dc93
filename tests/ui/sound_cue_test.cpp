// The system sound cue hands its tone to the player through a pipe: the
// player gets a well-formed 2000 Hz WAV tone on its standard input, and no
// file is left in the temporary or the runtime directory. The player here is
// a stand-in script that keeps what it reads.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include "sound_cue.h"

class SoundCueTest : public QObject {
  Q_OBJECT

 private slots:
  void toneReachesThePlayerThroughAPipe();
};

void SoundCueTest::toneReachesThePlayerThroughAPipe() {
  QTemporaryDir bin, out, tmp, runtime;
  QVERIFY(bin.isValid() && out.isValid() && tmp.isValid() && runtime.isValid());
  QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QString player = bin.filePath(QStringLiteral("aplay"));
  QFile script(player);
  QVERIFY(script.open(QIODevice::WriteOnly));
  script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$CUE_OUT/args.part\"\ncat > \"$CUE_OUT/wave.part\"\n"
               "mv \"$CUE_OUT/args.part\" \"$CUE_OUT/args\"; mv \"$CUE_OUT/wave.part\" \"$CUE_OUT/wave\"\n");
  script.close();
  QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  qputenv("CUE_OUT", out.path().toLocal8Bit());
  qputenv("PATH", bin.path().toLocal8Bit() + ":" + qgetenv("PATH"));
  qputenv("TMPDIR", tmp.path().toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  const QStringList tmpBefore = QDir(QStringLiteral("/tmp")).entryList({QStringLiteral("orvex-zerazaduzu*")});

  ui::SystemSoundCue().Play(2000, 500);

  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out.filePath(QStringLiteral("wave"))), 10000);
  QFile args(out.filePath(QStringLiteral("args")));
  QVERIFY(args.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromLatin1(args.readAll()), QStringLiteral("-q\n-\n"));
  QFile waveFile(out.filePath(QStringLiteral("wave")));
  QVERIFY(waveFile.open(QIODevice::ReadOnly));
  const QByteArray wave = waveFile.readAll();

  // 500 ms of 16-bit mono samples at 22050 Hz after a 44-byte header.
  const int samples = 22050 / 2;
  QCOMPARE(wave.size(), 44 + 2 * samples);
  QCOMPARE(wave.left(4), QByteArray("RIFF"));
  QCOMPARE(wave.mid(8, 8), QByteArray("WAVEfmt "));
  QCOMPARE(qFromLittleEndian<quint16>(wave.constData() + 20), quint16(1));  // PCM
  QCOMPARE(qFromLittleEndian<quint16>(wave.constData() + 22), quint16(1));  // mono
  QCOMPARE(qFromLittleEndian<quint32>(wave.constData() + 24), quint32(22050));
  QCOMPARE(qFromLittleEndian<quint16>(wave.constData() + 34), quint16(16));
  QCOMPARE(wave.mid(36, 4), QByteArray("data"));
  QCOMPARE(qFromLittleEndian<quint32>(wave.constData() + 40), quint32(2 * samples));
  // A 2000 Hz sine crosses zero upwards 2000 times a second: about 1000 here.
  int upwards = 0;
  qint16 previous = 0;
  for (int i = 0; i < samples; ++i) {
    const qint16 sample = qFromLittleEndian<qint16>(wave.constData() + 44 + 2 * i);
    if (previous < 0 && sample >= 0) ++upwards;
    previous = sample;
  }
  QVERIFY2(qAbs(upwards - 1000) <= 2, qPrintable(QString::number(upwards)));

  QCOMPARE(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
  QCOMPARE(QDir(runtime.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
  QCOMPARE(QDir(QStringLiteral("/tmp")).entryList({QStringLiteral("orvex-zerazaduzu*")}), tmpBefore);
}

QTEST_MAIN(SoundCueTest)
#include "sound_cue_test.moc"
