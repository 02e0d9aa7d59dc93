// Random operator sessions against the burn engine: seeded sequences of what
// an operator and the hardware do (tokens with the right or another key laid,
// removed and swapped on two readers, a token swapped between any two APDUs
// before the card monitor sees it, the card pulled or its answer lost at
// any APDU, an export line that fails, Burn, Stop, Sync, Connect to the other reader, secrets typed or
// from a seed file, export on and off, answers to questions, closing), with
// the station's promises checked after every step. A failing session is
// shrunk to the shortest sequence of steps that still fails.
#pragma once
#include <QString>
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine_world.h"

namespace enginetest {

struct Step {
  enum Kind {
    Lay,          // token a on reader b (in place of whatever lies there)
    Remove,       // reader a
    Poll,         // a pass of the card monitor
    Burn,         // the Burn/Stop button, when it is enabled
    Sync,
    Connect,      // reader a
    Pull,         // the card leaves at the a-th APDU from now
    LoseAnswer,   // the a-th APDU's answer is lost; the card leaves when b
    TypeSecret,   // secret a of the pool (the last one: the box emptied)
    SeedFile,     // a seed file listing the tokens of mask a (0: none)
    Export,       // "Export Seed Data" ticked when a
    Choices,      // time window, display time and algorithm from a
    Answer,       // questions answered No (0) or Yes (1), or Yes after Stop (2), a close (3) or token b laid unseen (4)
    Close,
    SwapAt,       // token b takes the place of the one on the monitor's reader right after the a-th APDU from now
    ExportFails,  // the a-th export write from now fails
  };
  Kind kind = Poll;
  int a = 0;
  int b = 0;
};

inline std::string Describe(const Step& s) {
  std::ostringstream out;
  switch (s.kind) {
    case Step::Lay: out << "lay token " << s.a << " on reader " << s.b; break;
    case Step::Remove: out << "remove the token of reader " << s.a; break;
    case Step::Poll: out << "card monitor pass"; break;
    case Step::Burn: out << "press Burn/Stop"; break;
    case Step::Sync: out << "press Sync"; break;
    case Step::Connect: out << "connect to reader " << s.a; break;
    case Step::Pull: out << "card pulled at APDU " << s.a; break;
    case Step::LoseAnswer: out << "answer lost at APDU " << s.a << (s.b ? ", card leaves" : ", card stays"); break;
    case Step::TypeSecret: out << "secret " << s.a << " in the box"; break;
    case Step::SeedFile: out << "seed file of tokens " << s.a; break;
    case Step::Export: out << "export " << (s.a ? "ticked" : "cleared"); break;
    case Step::Choices: out << "choices " << s.a; break;
    case Step::Answer: {
      const char* modes[] = {"No", "Yes", "Yes after Stop", "Yes after a close", "Yes after a swap to token "};
      out << "questions answered " << modes[std::min(s.a, 4)];
      if (s.a == 4) out << s.b;
      break;
    }
    case Step::Close: out << "close the window"; break;
    case Step::SwapAt: out << "token " << s.b << " swapped in after APDU " << s.a; break;
    case Step::ExportFails: out << "export write " << s.a << " from now fails"; break;
  }
  return out.str();
}

struct TokenSpec {
  bool rightKey = true;
  int tries = 5;
};

struct Session {
  std::vector<TokenSpec> tokens;  // one to four
  std::vector<Step> steps;
};

inline Session RandomSession(uint64_t seed, int length) {
  std::mt19937_64 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  Session session;
  const int tokenCount = 1 + pick(4);
  for (int i = 0; i < tokenCount; ++i) session.tokens.push_back({pick(3) != 0, 2 + pick(9)});
  for (int i = 0; i < length; ++i) {
    Step s;
    const int roll = pick(100);
    if (roll < 16) {
      s = {Step::Lay, pick(tokenCount), pick(4) == 0 ? 1 : 0};
    } else if (roll < 18) {
      s = pick(3) == 0 ? Step{Step::ExportFails, 1 + pick(3)} : Step{Step::SwapAt, 1 + pick(12), pick(tokenCount)};
    } else if (roll < 28) {
      s = {Step::Remove, pick(4) == 0 ? 1 : 0};
    } else if (roll < 50) {
      s = {Step::Poll};
    } else if (roll < 66) {
      s = {Step::Burn};
    } else if (roll < 69) {
      s = {Step::Sync};
    } else if (roll < 72) {
      s = {Step::Connect, pick(2)};
    } else if (roll < 77) {
      s = {Step::Pull, 1 + pick(9)};
    } else if (roll < 83) {
      s = {Step::LoseAnswer, 1 + pick(9), pick(2)};
    } else if (roll < 88) {
      s = {Step::TypeSecret, pick(4)};
    } else if (roll < 91) {
      s = {Step::SeedFile, pick(1 << tokenCount)};
    } else if (roll < 94) {
      s = {Step::Export, pick(2)};
    } else if (roll < 96) {
      s = {Step::Choices, pick(16)};
    } else if (roll < 99) {
      s = {Step::Answer, pick(5) == 0 ? 0 : (pick(4) == 0 ? 2 + pick(3) : 1), pick(tokenCount)};
    } else {
      s = {Step::Close};
    }
    session.steps.push_back(s);
  }
  session.steps.push_back({Step::Close});
  return session;
}

// The secrets the operator types: 20 bytes, 32 bytes, 85 bytes (longer than
// the cloud directory takes), and none. A seed file gives token i secret 10+i.
inline QString PoolSecret(int index) {
  static const QString pool[] = {
      kRfcSecret,
      QStringLiteral("MFRGGZDFMZTWQ2LKNNWG23TPOBYXE43UOV3HO6DZPIYTEMZUGU3DOOBZ"),
      QStringLiteral("KRUGKIDROVUWG2ZAMJZG653OEBTG66BANJ2W24DTEBXXMZLSEB2GQZJANRQXU6JAMRXWOLRAKRUGKIDROVUWG2"
                     "ZAMJZG653OEBTG66BANJ2W24DTEBXXMZLSEB2GQZJANRQXU6JAMRXWOLRA"),
      QString(),
  };
  if (index < 4) return pool[index];
  // Distinct per token: 20 bytes, 32 characters without padding.
  QByteArray bytes = QByteArray("seed-file-token-") + QByteArray::number(index);
  return Base32Text(bytes.leftJustified(20, '.'), false);
}

inline std::string SerialOf(int token) { return "ZZR0000" + std::to_string(token); }

// The seed a token stores for a record: the secret, or, when it is longer than
// 64 bytes, its digest zero-filled to the 64-byte HMAC block.
inline std::vector<uint8_t> StoredSeed(const station::BurnRecord& record) {
  const std::vector<uint8_t>& bytes = record.secretBytes;
  if (bytes.size() <= 64) return bytes;
  std::vector<uint8_t> digest(64, 0);
  tokenlink::ComputeDigest(record.choices.algorithm == "SHA256" ? tokenlink::kDigestSha256 : tokenlink::kDigestSha1,
                           bytes.data(), bytes.size(), digest.data());
  return digest;
}

// What the sessions came to, so that a run shows it reached the paths that matter.
struct SessionTally {
  std::size_t steps = 0;
  std::size_t succeeded = 0;
  std::size_t failed = 0;
  std::size_t unknown = 0;
  std::size_t messages = 0;
  std::size_t questions = 0;
  std::size_t apdus = 0;

  void Add(const SessionTally& other) {
    steps += other.steps;
    succeeded += other.succeeded;
    failed += other.failed;
    unknown += other.unknown;
    messages += other.messages;
    questions += other.questions;
    apdus += other.apdus;
  }
  std::string Text() const {
    std::ostringstream out;
    out << steps << " steps, " << apdus << " APDUs, " << succeeded << " succeeded, " << failed << " failed, "
        << unknown << " unknown, " << messages << " messages, " << questions << " questions";
    return out.str();
  }
};

// Runs a session; the first broken promise, or empty.
class SessionRun {
 public:
  explicit SessionRun(const Session& session) : m_session(session) {}

  std::string Run(SessionTally* tally = nullptr) {
    EngineWorld world;
    world.form.secretText = kRfcSecret;
    world.form.userName = QStringLiteral("ops@example.com");
    for (std::size_t i = 0; i < m_session.tokens.size(); ++i) {
      const TokenSpec& spec = m_session.tokens[i];
      world.MakeToken(SerialOf(static_cast<int>(i)), spec.rightKey, spec.tries);
      m_initialTries.push_back(spec.tries);
      m_lastTries.push_back(spec.tries);
      m_pressTries.push_back(spec.tries);
      m_seeds.push_back({});
      m_seedChangedAt.push_back(0);
    }
    world.Connect(0);
    std::size_t n = 0;
    std::string broken;
    for (const Step& step : m_session.steps) {
      ++n;
      m_shownBefore = world.Shown();
      m_swapsBefore = world.Pcsc().SwapsDone();
      Apply(world, step);
      broken = Check(world, n);
      if (!broken.empty()) {
        broken = "after step " + std::to_string(n) + " (" + Describe(step) + "): " + broken;
        break;
      }
      if (step.kind == Step::Close) break;
    }
    if (tally) {
      tally->steps += n;
      for (const Booking& b : world.bookings) {
        if (b.result == QStringLiteral("Succeeded")) ++tally->succeeded;
        if (b.result == QStringLiteral("Failed")) ++tally->failed;
        if (b.result == QStringLiteral("Unknown")) ++tally->unknown;
      }
      tally->messages += world.messages.size();
      tally->questions += world.questions.size();
      for (const std::string& reader : kReaders) tally->apdus += world.Pcsc().SentApdus(reader).size();
    }
    return broken;
  }

 private:
  void Apply(EngineWorld& world, const Step& step) {
    const int tokenCount = static_cast<int>(m_session.tokens.size());
    switch (step.kind) {
      case Step::Lay: {
        const std::string serial = SerialOf(step.a % tokenCount);
        // A token lies in one field at a time.
        for (int r = 0; r < 2; ++r) {
          if (world.InField(r) == world.tokens.at(serial)) world.Remove(r);
        }
        world.Lay(serial, step.b);
        break;
      }
      case Step::Remove:
        world.Remove(step.a);
        break;
      case Step::Poll:
        world.Poll();
        break;
      case Step::Burn:
        if (!world.BurnEnabled()) break;
        if (!world.Engine().BurnPending()) NoteBurnPress(world);
        world.PressBurn();
        break;
      case Step::Sync:
        if (!world.ShownSerial()) break;
        ++m_syncsSinceBurn;
        ++m_presses;
        world.PressSync();
        break;
      case Step::Connect:
        world.Connect(step.a);
        break;
      case Step::Pull:
        world.PullAt(step.a);
        break;
      case Step::LoseAnswer:
        world.LoseAnswerAt(step.a, step.b != 0);
        break;
      case Step::TypeSecret:
        world.form.secretText = PoolSecret(step.a);
        world.ForgetFileSecret();
        break;
      case Step::SeedFile:
        world.seedFile.clear();
        for (int i = 0; i < tokenCount; ++i) {
          if (step.a & (1 << i)) world.seedFile[QByteArray::fromStdString(SerialOf(i))] = PoolSecret(10 + i);
        }
        break;
      case Step::Export:
        world.form.exportLines = step.a != 0;
        break;
      case Step::Choices:
        world.form.choices.timeWindow = (step.a & 1) ? 60 : 30;
        world.form.choices.algorithm = (step.a & 2) ? QByteArrayLiteral("SHA256") : QByteArrayLiteral("SHA1");
        world.form.choices.displayTime = std::array<int, 4>{15, 30, 60, 120}[(step.a >> 2) & 3];
        break;
      case Step::Answer:
        world.answerYes = step.a != 0;
        world.onQuestion = nullptr;
        if (step.a == 2) {
          world.onQuestion = [&world] { world.Stop(); };
        } else if (step.a == 3) {
          world.onQuestion = [&world] { world.Close(); };
        } else if (step.a == 4) {
          const std::string serial = SerialOf(step.b % tokenCount);
          world.onQuestion = [&world, serial] {
            for (int r = 0; r < 2; ++r) {
              if (world.InField(r) == world.tokens.at(serial)) world.Remove(r);
            }
            world.Lay(serial, world.Connected());
          };
        }
        break;
      case Step::Close:
        world.Close();
        break;
      case Step::SwapAt:
        m_swapIn = SerialOf(step.b % tokenCount);
        world.SwapAfter(step.a, m_swapIn);
        break;
      case Step::ExportFails:
        world.exports.FailAtWrite(step.a);
        break;
    }
  }

  // A Burn press starts a burn: during it each token may lose one try, and
  // one more for each Sync pressed meanwhile.
  void NoteBurnPress(EngineWorld& world) {
    for (std::size_t i = 0; i < m_pressTries.size(); ++i) {
      m_pressTries[i] = world.Token(SerialOf(static_cast<int>(i))).TriesLeft();
    }
    m_syncsSinceBurn = 0;
    ++m_presses;
  }

  std::string Check(EngineWorld& world, std::size_t stepIndex) {
    // Tries: spent only by authentications a press started, one a token, and
    // only on a token shown to the operator (or swapped in between two APDUs
    // of this step, a race that no read can close).
    const bool swappedNow = world.Pcsc().SwapsDone() != m_swapsBefore;
    for (std::size_t i = 0; i < m_session.tokens.size(); ++i) {
      const std::string serial = SerialOf(static_cast<int>(i));
      sim::TokenEmulator& token = world.Token(serial);
      const int left = token.TriesLeft();
      const QByteArray serialBytes = QByteArray::fromStdString(serial);
      if (left < m_lastTries[i] && m_shownBefore != serialBytes && world.Shown() != serialBytes &&
          !(swappedNow && m_swapIn == serial))
        return "token " + std::to_string(i) + " lost a try while another token was shown";
      m_lastTries[i] = left;
      if (m_session.tokens[i].rightKey && left != m_initialTries[i])
        return "token " + std::to_string(i) + " with the right key lost a try (" + std::to_string(left) + " left)";
      if (m_pressTries[i] - left > 1 + m_syncsSinceBurn)
        return "token " + std::to_string(i) + " lost " + std::to_string(m_pressTries[i] - left) +
               " tries in one burn with " + std::to_string(m_syncsSinceBurn) + " Sync presses";
      if (m_initialTries[i] - left > m_presses)
        return "token " + std::to_string(i) + " lost " + std::to_string(m_initialTries[i] - left) + " tries for " +
               std::to_string(m_presses) + " presses";
      const std::vector<uint8_t> seed = token.Seed();
      if (seed != m_seeds[i]) {
        m_seeds[i] = seed;
        m_seedChangedAt[i] = stepIndex;
      }
    }
    // Bookings: a success only for a token that holds what is booked.
    for (; m_booked < world.bookings.size(); ++m_booked) {
      const Booking& booking = world.bookings[m_booked];
      if (booking.result == QStringLiteral("Unknown")) m_unknownAt[booking.record->serialBytes] = stepIndex;
      if (booking.result != QStringLiteral("Succeeded")) continue;
      const station::BurnRecord& r = *booking.record;
      auto found = world.tokens.find(r.serialBytes.toStdString());
      if (found == world.tokens.end()) return "success booked for an unknown token " + r.serialBytes.toStdString();
      sim::TokenEmulator& token = *found->second;
      if (token.Seed() != StoredSeed(r)) return "success booked for " + r.serialBytes.toStdString() + " without its seed";
      if (token.TimeStep() != r.choices.timeWindow || token.DisplayTime() != r.choices.displayTime ||
          token.Algorithm() != (r.choices.algorithm == "SHA256" ? 2 : 1))
        return "success booked for " + r.serialBytes.toStdString() + " with settings it does not hold";
      m_lastSuccess[r.serialBytes] = booking.record;
      const auto& failed = world.exports.failedWrites;
      if (r.exportLines && std::find(failed.begin(), failed.end(), &r) == failed.end())
        m_expectedLines.push_back({r.serialBytes, r.secretText});
    }
    // A line that could not be written is said, after the burn's message.
    if (world.Count(QStringLiteral("Failed to write")) != static_cast<int>(world.exports.failedWrites.size()))
      return std::to_string(world.exports.failedWrites.size()) + " export writes failed, " +
             std::to_string(world.Count(QStringLiteral("Failed to write"))) + " said so";
    // Export lines: exactly the exported successes, in order, none changed.
    const std::vector<MemoryExports::Line>& lines = world.exports.lines;
    if (lines.size() != m_expectedLines.size())
      return std::to_string(lines.size()) + " export lines for " + std::to_string(m_expectedLines.size()) +
             " exported successes";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].serialBytes != m_expectedLines[i].serialBytes || lines[i].secretText != m_expectedLines[i].secretText)
        return "export line " + std::to_string(i + 1) + " is not the booked one";
    }
    // Every token that holds a seed is booked as holding it, or is shown as
    // pending or unknown.
    for (std::size_t i = 0; i < m_session.tokens.size(); ++i) {
      if (m_seeds[i].empty()) continue;
      const QByteArray serial = QByteArray::fromStdString(SerialOf(static_cast<int>(i)));
      const auto success = m_lastSuccess.find(serial);
      if (success != m_lastSuccess.end() && StoredSeed(*success->second) == m_seeds[i]) continue;
      if (world.Engine().LostWriteSerial() == serial && world.Engine().BurnPending()) continue;
      const auto unknown = m_unknownAt.find(serial);
      if (unknown != m_unknownAt.end() && unknown->second >= m_seedChangedAt[i]) continue;
      return "token " + std::to_string(i) + " holds a seed that is neither booked, pending nor unknown";
    }
    if (world.Pending() != world.Engine().BurnPending()) return "the button does not show the engine's state";
    // Stop, and closing, cancel the burn: nothing is written after them.
    if (world.seedWritesAtStop && world.Sent({tokenlink::INS_SEED_WRITE}) != *world.seedWritesAtStop)
      return "a seed was written after Stop";
    if (world.protectedAtClose &&
        world.Sent({tokenlink::INS_AUTHENTICATE, tokenlink::INS_PARAMETER, tokenlink::INS_SEED_WRITE}) !=
            *world.protectedAtClose)
      return "a token was changed after the window began closing";
    return {};
  }

  const Session& m_session;
  std::vector<int> m_initialTries;
  std::vector<int> m_lastTries;
  std::optional<QByteArray> m_shownBefore;
  int m_swapsBefore = 0;
  std::string m_swapIn;
  std::vector<int> m_pressTries;
  int m_syncsSinceBurn = 0;
  int m_presses = 0;  // Burn presses that started a burn, and Sync presses
  std::vector<std::vector<uint8_t>> m_seeds;
  std::vector<std::size_t> m_seedChangedAt;
  std::size_t m_booked = 0;
  std::map<QByteArray, std::shared_ptr<const station::BurnRecord>> m_lastSuccess;
  std::map<QByteArray, std::size_t> m_unknownAt;
  std::vector<MemoryExports::Line> m_expectedLines;
};

inline std::string RunSession(const Session& session, SessionTally* tally = nullptr) {
  return SessionRun(session).Run(tally);
}

// The shortest sequence of steps that still breaks a promise (removing
// chunks, then single steps, while the session still fails).
inline Session Shrink(Session session) {
  for (std::size_t chunk = std::max<std::size_t>(1, session.steps.size() / 2); chunk >= 1; chunk /= 2) {
    bool removed = true;
    while (removed) {
      removed = false;
      for (std::size_t start = 0; start + chunk <= session.steps.size(); ++start) {
        Session shorter = session;
        shorter.steps.erase(shorter.steps.begin() + static_cast<std::ptrdiff_t>(start),
                            shorter.steps.begin() + static_cast<std::ptrdiff_t>(start + chunk));
        if (!RunSession(shorter).empty()) {
          session = std::move(shorter);
          removed = true;
          break;
        }
      }
    }
    if (chunk == 1) break;
  }
  return session;
}

inline std::string Report(uint64_t seed, const Session& session) {
  std::ostringstream out;
  out << "seed " << seed << ", tokens:";
  for (std::size_t i = 0; i < session.tokens.size(); ++i) {
    out << " " << i << (session.tokens[i].rightKey ? " (right key, " : " (other key, ") << session.tokens[i].tries
        << " tries)";
  }
  out << "\n";
  for (std::size_t i = 0; i < session.steps.size(); ++i) out << "  " << i + 1 << ". " << Describe(session.steps[i]) << "\n";
  out << "  -> " << RunSession(session) << "\n";
  return out.str();
}

}  // namespace enginetest
