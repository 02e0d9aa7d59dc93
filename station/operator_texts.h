// The captions and icons of the station's message boxes, shared by the burn
// engine, which chooses them, and the window, which shows them.
#pragma once
#include <QString>

namespace station {

enum class MessageIcon { None, Error };

inline const QString kCaptionError = QStringLiteral("ERROR");
inline const QString kCaptionStation = QStringLiteral("Orvex Zerazaduzu");
inline const QString kCaptionHints = QStringLiteral("Hints");

}  // namespace station
