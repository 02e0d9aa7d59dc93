// Why the reader list or the token panel stays empty, in the operator's words:
// the PC/SC codes and token-read results that the monitors hand over, turned
// into the line shown beside the token panel. Empty when nothing is wrong or
// the status line already says it all (no card on the reader).
#pragma once
#include <QString>
#include <cstdint>

namespace ui {

inline const QString kCauseNoService = QStringLiteral("Smart-card service is not running");
inline const QString kCauseNoReader = QStringLiteral("No card reader is attached");
inline const QString kCauseReaderHeld = QStringLiteral("The reader is in use by another program");
inline const QString kCauseReaderGone = QStringLiteral("The chosen reader is no longer attached");
inline const QString kCauseNotAToken = QStringLiteral("The card on the reader is not a token");

// A pass of the reader-list monitor: listed, or the PC/SC code it failed with.
QString ReaderListCause(bool listed, int32_t pcscResult);
// The card monitor's connection to the chosen reader failed with this code.
QString CardAbsentCause(int32_t pcscResult);
// The token-information read of a card in the field gave this result.
QString TokenReadCause(int32_t result);

}  // namespace ui
