// The export formats: each one a small writer behind one interface, chosen
// for a set from one table, so that a new format is a new entry here and not
// a new branch in the engine or the set.
#pragma once
#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "burn_record.h"

namespace station {

// The files an export set can hold.
enum class ExportFile { Hex, Base32, Azure, Oath, Pskc };

// "HEX", "B32", "Azure", "OATH" or "PSKC", as the station's messages name
// the files.
QString ExportFileLabel(ExportFile file);
// "hex", "b32", "azure", "oath" or "pskc", as the burner's --formats names
// them; and back (nothing for another name).
QString ExportFormatName(ExportFile file);
std::optional<ExportFile> ExportFileNamed(const QString& name);

// The file of one format in one export set. A line format appends one line a
// token (LineFormat gives its writer); a document format such as PSKC, whose
// file is one document rewritten whole for every token, brings a writer of
// its own that keeps the set's tokens and replaces its file durably (a new
// file beside it, synced, renamed over it, the directory synced).
class ExportWriter {
 public:
  virtual ~ExportWriter() = default;
  // Creates the file at path, which does not exist yet, readable and
  // writable by its owner only. Nothing, or why it could not be made.
  virtual std::optional<QString> Create(const QString& path) = 0;
  // Puts the token into the file, on the disk before it returns, and checks
  // that the file is still the one its name leads to. Nothing, or why the
  // token is not in it.
  virtual std::optional<QString> Add(const BurnRecord& record) = 0;
  // Several tokens, as one Add each unless the writer can do better (a
  // document rewritten whole writes them in one rewrite, all or none).
  virtual std::optional<QString> AddAll(const std::vector<const BurnRecord*>& records) {
    for (const BurnRecord* record : records) {
      if (std::optional<QString> why = Add(*record)) return why;
    }
    return std::nullopt;
  }
};

// One export format: the ending of its file and the writer that fills it.
class ExportFormat {
 public:
  virtual ~ExportFormat() = default;
  virtual ExportFile File() const = 0;
  // The file's ending after the set's name, e.g. ".hex.csv".
  virtual QString Ending() const = 0;
  // Whether the token belongs in this file at all: a file read by a server
  // that cannot use the token leaves it out.
  virtual bool Takes(const BurnRecord& record) const {
    (void)record;
    return true;
  }
  // A writer for this format's file of one set.
  virtual std::unique_ptr<ExportWriter> NewWriter() const = 0;
};

// A format of one CSV line a token, ending in CR LF.
class LineFormat : public ExportFormat {
 public:
  // The file's first line, written when it is created.
  virtual std::optional<QByteArray> Header() const { return std::nullopt; }
  // The token's line, without its end.
  virtual QByteArray Line(const BurnRecord& record) const = 0;
  std::unique_ptr<ExportWriter> NewWriter() const override;
};

using ExportFormats = std::vector<std::shared_ptr<const ExportFormat>>;

// The line format of a file; nothing for PSKC, whose format is made with its
// key by whoever chooses it and added to the set's formats beside these.
std::shared_ptr<const ExportFormat> LineExportFormat(ExportFile file);
// The formats of these files, in this order (PSKC left out, see above).
ExportFormats LineExportFormats(const std::vector<ExportFile>& files);
// What the window writes: hex, Base32, Azure and OATH.
ExportFormats StationExportFormats();

}  // namespace station
