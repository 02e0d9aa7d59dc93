// The token commands of the engine, carried out by the token link on one
// reader with the process-wide customer key.
#pragma once
#include <QByteArray>
#include <QString>
#include <functional>

#include "burn_engine.h"

namespace station {

class LinkTokenPort : public TokenPort {
 public:
  // readerName: the reader the commands go to, asked at each command.
  // clockText: the token time text ("%d/%02d/%02d/%02d/%02d/%02d") that a
  // configuration or a clock sync writes; true asks for the computer's clock,
  // false for the token's own as read.
  LinkTokenPort(std::function<QString()> readerName, std::function<QByteArray(bool computerClock)> clockText)
      : m_readerName(std::move(readerName)), m_clockText(std::move(clockText)) {}

  Outcome Run(const Command& command) override;

 private:
  std::function<QString()> m_readerName;
  std::function<QByteArray(bool)> m_clockText;
};

}  // namespace station
