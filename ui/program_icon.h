// The program icon in all its sizes, and the version record of the program.
#pragma once
#include <QIcon>

class QCoreApplication;

namespace ui {

// Registers the compiled-in forms' images and icons; safe to call repeatedly.
void InitStationResources();

QIcon ProgramIcon();

// Version, product and maker of the program, as application properties.
void ApplyVersionRecord(QCoreApplication& application);

inline constexpr char kProgramVersion[] = "2.0.0.0";
inline constexpr char kProductName[] = "Orvex Zerazaduzu";
inline constexpr char kCompanyName[] = "Halcy Vuzuvaro";

}  // namespace ui
