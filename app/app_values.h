// Process-wide values: the built-in customer key and the reader chosen with
// Connect.
#pragma once
#include <QString>

namespace app {

// The 32 hex digits of the built-in 16-byte customer key; never changes.
const QString& CustomerKey();

// Empty until the first Connect; written by Connect only, read from any thread.
QString SelectedReaderName();
void SetSelectedReaderName(const QString& name);

}  // namespace app
