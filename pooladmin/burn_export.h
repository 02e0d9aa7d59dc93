// The pool's burns as the burner's export set writes them: each burned row
// becomes the burner's BurnRecord, and the station's own formats write it.
#pragma once
#include <QByteArray>
#include <QString>
#include <vector>

#include "burn_record.h"
#include "export_formats.h"
#include "pool_admin.h"

namespace pooladmin {

// The Base32 text a secret from the pool is burned with: RFC 4648, '='
// padding to a multiple of 8 characters.
QString PaddedBase32(const pool::Bytes& secret);

// The record the burner books for the row's token.
station::BurnRecord RecordOf(const pool::BurnedSeed& burned);

// A line format's file for the records: its header, then the line of each
// record the format takes, each ending in CR LF.
QByteArray LineFile(const station::LineFormat& format, const std::vector<station::BurnRecord>& records);

}  // namespace pooladmin
