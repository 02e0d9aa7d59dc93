// The command line's PSKC credential, and the export formats it adds.
#include "pskc_credential.h"

#include "pskc_export.h"

namespace ui {
namespace {

std::optional<pskc::Credential>& Stored() {
  static std::optional<pskc::Credential> credential;
  return credential;
}

}  // namespace

void UsePskcCredential(std::optional<pskc::Credential> credential) { Stored() = std::move(credential); }

const std::optional<pskc::Credential>& PskcCredential() { return Stored(); }

station::ExportFormats WindowExportFormats() {
  station::ExportFormats formats = station::StationExportFormats();
  if (PskcCredential()) formats.push_back(station::PskcExportFormat(*PskcCredential()));
  return formats;
}

}  // namespace ui
