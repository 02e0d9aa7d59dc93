// One PSKC export file, rewritten whole and made durable at every token added,
// so that after a crash the file on disk is a complete PSKC document holding
// exactly the tokens whose Add returned.
#pragma once
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "pskc_document.h"
#include "pskc_protection.h"

namespace pskc {

class PskcFile {
 public:
  // The steps of a rewrite, for a test that makes one of them fail.
  enum class Step { CreateTemporary, Write, Sync, Publish, SyncDirectory };
  // Returns an errno to fail the step with, or 0 to let it run.
  using FaultHook = std::function<int(Step)>;

  // A new file (never an existing one), mode 0600, holding no token yet.
  // Nothing, with the reason, when it cannot be made.
  static std::unique_ptr<PskcFile> Create(const QString& path, Protection protection, QString* error,
                                          FaultHook faults = {});

  // True once the document with every token so far and this one is on disk;
  // otherwise the reason, and the file as it was before, except when only the
  // directory's flush failed: the file then holds the token (and so does every
  // later rewrite), and the reason says it may not be on disk.
  bool Add(const TokenEntry& entry, QString* error);
  // Several tokens in one rewrite, all or none: an export of many tokens at
  // once costs one document written, not one a token.
  bool AddAll(const std::vector<TokenEntry>& entries, QString* error);

  int Count() const { return static_cast<int>(m_entries.size()); }
  const QString& path() const { return m_path; }

 private:
  PskcFile(QString path, Protection protection, FaultHook faults);
  // Writes the document to a temporary file beside the file and puts it in the
  // file's place: renamed over it, or linked as a new name when it must not exist.
  // *inPlace tells whether the new document took the file's name.
  bool Publish(const QByteArray& document, bool asNewFile, bool* inPlace, QString* error);

  QString m_path;
  Protection m_protection;
  FaultHook m_faults;
  std::vector<SealedEntry> m_entries;
};

}  // namespace pskc
