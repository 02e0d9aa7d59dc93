// Process-wide values: the built-in customer key and the reader chosen with
// Connect.
#pragma once
#include <QString>

namespace app {

// The 32 hex digits of the 16-byte customer key: the built-in one unless
// SetCustomerKey gave another.
const QString& CustomerKey();
// Another customer's key (32 hex digits, either case; kept in upper case); false,
// and the key unchanged, when the text is not 32 hex digits. Called before
// any thread reads the key: the reference CustomerKey gives is not guarded.
bool SetCustomerKey(const QString& hexDigits);

// Empty until the first Connect; written by Connect only, read from any thread.
QString SelectedReaderName();
void SetSelectedReaderName(const QString& name);

}  // namespace app
