// Programming records: the log list of the window and the three export files
// (hex, Base32 and the cloud directory's hardware-token list).
#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QLineEdit>
#include <QTreeWidgetItem>
#include <array>
#include <cstdio>

#include "base32.h"
#include "export_files.h"
#include "my_list_ctrl.h"
#include "operator_messages.h"
#include "text_convert.h"
#include "vantor_dlg.h"

namespace {

const QByteArray kAzureHeader = QByteArrayLiteral("upn,serial number,secret key,time interval,manufacturer,model");

}  // namespace

void CVantorDlg::AddLogRow(const QString& serialNumber, const QString& userName, const QString& result) {
  const QDateTime now = QDateTime::currentDateTime();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d ", now.date().year(), now.date().month(),
                now.date().day(), now.time().hour(), now.time().minute(), now.time().second());
  auto* row = new QTreeWidgetItem({app::AnsiToWide(text), serialNumber, userName, result});
  m_logList->insertTopLevelItem(0, row);
}

void CVantorDlg::CloseExportFiles() {
  for (std::FILE** file : {&m_hexFile, &m_base32File, &m_azureFile}) {
    if (*file) std::fclose(*file);
    *file = nullptr;
  }
}

void CVantorDlg::OpenExportFiles() {
  if (m_exportFilesOpen == 1) return;
  // Files left from an incomplete set are closed before a new set is tried.
  CloseExportFiles();
  const QDateTime now = QDateTime::currentDateTime();
  const QString directory = ui::ExportDirectory();
  if (!directory.isEmpty()) {
    m_hexFile = ui::CreateOwnerOnlyFile(ui::ExportFileName(directory, now, ".hex.csv"));
    m_base32File = ui::CreateOwnerOnlyFile(ui::ExportFileName(directory, now, ".b32.csv"));
    m_azureFile = ui::CreateOwnerOnlyFile(ui::ExportFileName(directory, now, ".azure.csv"));
  }
  const QString caption = QCoreApplication::applicationName();
  if (!m_hexFile) {
    ui::ShowOperatorMessage(this, caption, QStringLiteral("Failed to create HEX seed file"), ui::MessageIcon::Error);
  } else if (!m_base32File) {
    ui::ShowOperatorMessage(this, caption, QStringLiteral("Failed to create B32 seed file"), ui::MessageIcon::Error);
  } else if (!m_azureFile) {
    ui::ShowOperatorMessage(this, caption, QStringLiteral("Failed to create Azure seed file"), ui::MessageIcon::Error);
  }
  if (m_hexFile && m_base32File && m_azureFile) {
    ui::WriteExportLine(m_azureFile, kAzureHeader);
    m_exportFilesOpen = 1;
  }
}

void CVantorDlg::WriteExportLines() {
  if (!m_exportCheck->isChecked()) return;
  const Choices choices = ReadChoices();
  m_userName = m_userNameEdit->text();
  const QByteArray serial = app::WideToAnsi(m_serialNumber);
  const QByteArray secret = app::WideToAnsi(m_secret);
  // The cloud directory takes only Base32 letters and digits in this column.
  QByteArray unpadded = secret;
  while (unpadded.endsWith('=')) unpadded.chop(1);
  ui::WriteExportLine(m_azureFile, app::WideToAnsi(m_userName) + ',' + serial + ',' + unpadded + ',' +
                                       QByteArray::number(choices.timeWindow) + ",Halcy Vuzuvaro,Orvex");
  ui::WriteExportLine(m_base32File, serial + ',' + secret);
  std::array<uint8_t, 512> bytes{};
  const int n = seed::Base32Decode(secret.constData(), bytes.data());
  const QByteArray hex = n > 0 ? app::WideToAnsi(app::BytesToHexText(bytes.data(), static_cast<std::size_t>(n)))
                               : QByteArray();
  ui::WriteExportLine(m_hexFile, serial + ',' + hex);
}
