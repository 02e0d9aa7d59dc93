// The operator's words for the PC/SC codes of the monitors.
#include "failure_causes.h"

#include "pcsc_api.h"
#include "result_codes.h"
#include "text_convert.h"

namespace ui {

QString ReaderListCause(bool listed, int32_t pcscResult) {
  if (listed) return {};
  switch (pcscResult) {
    case tokenlink::kScardENoService:
      return kCauseNoService;
    // pcsc-lite fails the listing with this code when no reader is attached,
    // so the status line, which speaks of a successful empty listing only,
    // says nothing then.
    case tokenlink::kScardENoReadersAvailable:
      return kCauseNoReader;
    default:
      return QStringLiteral("Card readers cannot be listed (PC/SC error %1)").arg(app::CodeText(pcscResult));
  }
}

QString CardAbsentCause(int32_t pcscResult) {
  switch (pcscResult) {
    case tokenlink::kScardSuccess:
    case tokenlink::kScardENoSmartcard:
    case tokenlink::kScardWRemovedCard:
      return {};  // an empty field: "Token or card not detected" says it
    case tokenlink::kScardENoService:
      return kCauseNoService;
    case tokenlink::kScardESharingViolation:
      return kCauseReaderHeld;
    case tokenlink::kScardEUnknownReader:
    case tokenlink::kScardEReaderUnavailable:
      return kCauseReaderGone;
    default:
      return QStringLiteral("The reader cannot be opened (PC/SC error %1)").arg(app::CodeText(pcscResult));
  }
}

QString TokenReadCause(int32_t result) {
  switch (result) {
    // The card answered, but not as a token does: a refused command, a short
    // answer, or a serial number longer than any token's.
    case tokenlink::TL_E_CARD_STATUS:
    case tokenlink::TL_E_BUFFER_SMALL:
      return kCauseNotAToken;
    default:
      // Read, or the card left the field while it was read: the next pass
      // tells which.
      return {};
  }
}

}  // namespace ui
