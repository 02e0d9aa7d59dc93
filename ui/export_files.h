// Where the export files go and how they are created: the Data directory
// beside the executable when it can be written, else the one in the user's
// application-data directory; files readable and writable by the owner only.
#pragma once
#include <QDateTime>
#include <QString>
#include <cstdio>

namespace ui {

// The Data directory, created if needed; empty when neither place works.
QString ExportDirectory();
// Tests point the exports elsewhere; an empty path restores the default.
void SetExportDirectoryOverride(const QString& directory);

// "<dir>/Seed-YYYY-MM-DD-hh-mm-ss<ending>" for a local time.
QString ExportFileName(const QString& directory, const QDateTime& localTime, const char* ending);

// Creates (or empties) the file with mode 0600 and opens it for reading and
// writing; nullptr on failure.
std::FILE* CreateOwnerOnlyFile(const QString& path);

// Writes the 8-bit line followed by CR LF and pushes it to the disk at once.
void WriteExportLine(std::FILE* file, const QByteArray& line);

}  // namespace ui
