#include "program_icon.h"

#include <QCoreApplication>
#include <QVariant>

static void InitResourcesOnce() { Q_INIT_RESOURCE(resources); }

namespace ui {

void InitStationResources() {
  static const bool done = (InitResourcesOnce(), true);
  (void)done;
}

QIcon ProgramIcon() {
  InitStationResources();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 256}) icon.addFile(QStringLiteral(":/icons/orvex-%1.png").arg(size), QSize(size, size));
  return icon;
}

void ApplyVersionRecord(QCoreApplication& application) {
  application.setApplicationVersion(QString::fromLatin1(kProgramVersion));
  application.setOrganizationName(QString::fromLatin1(kCompanyName));
  application.setProperty("FileVersion", QString::fromLatin1(kProgramVersion));
  application.setProperty("ProductVersion", QString::fromLatin1(kProgramVersion));
  application.setProperty("ProductName", QString::fromLatin1(kProductName));
  application.setProperty("FileDescription", QString::fromLatin1(kProductName));
  application.setProperty("InternalName", QCoreApplication::applicationName());
  application.setProperty("OriginalFilename", QCoreApplication::applicationName());
  application.setProperty("CompanyName", QString::fromLatin1(kCompanyName));
}

}  // namespace ui
