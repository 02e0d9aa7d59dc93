// The PSKC key or password the station was started with (--pskc-key-file or
// --pskc-password-file): it protects the PSKC export file and opens a PSKC
// seed file. Set in main before the window opens; read on the window's thread.
#pragma once
#include <optional>

#include "export_formats.h"
#include "pskc_reader.h"

namespace ui {

void UsePskcCredential(std::optional<pskc::Credential> credential);
const std::optional<pskc::Credential>& PskcCredential();

// The window's export files: hex, Base32, Azure and OATH, and PSKC when the
// station was started with a PSKC key or password.
station::ExportFormats WindowExportFormats();

}  // namespace ui
