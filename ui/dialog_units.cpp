// Dialog units to pixels, the way Windows lays out dialog templates.
#include "dialog_units.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>
#include <QVariant>
#include <QWidget>

namespace ui {
namespace {

// MulDiv(value, numerator, denominator), rounded half away from zero.
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

constexpr char kConverted[] = "dialogUnitsApplied";

// "MS Shell Dlg" is the templates' logical dialog font. Where no Windows font
// is installed, a family with the same metrics keeps the captions inside the
// rectangles the templates give them (DejaVu Sans, the usual fallback, is too
// wide for several labels).
void UseDialogFontFamily(QWidget* dialog) {
  QFont font = dialog->font();
  if (font.family() != QLatin1String("MS Shell Dlg")) return;
  const QStringList installed = QFontDatabase::families();
  for (const char* family : {"Tahoma", "Microsoft Sans Serif", "Liberation Sans", "Arimo", "Nimbus Sans", "Arial"}) {
    if (installed.contains(QLatin1String(family))) {
      font.setFamily(QLatin1String(family));
      dialog->setFont(font);
      return;
    }
  }
}

}  // namespace

QSize DialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return QSize((letters / 26 + 1) / 2, metrics.height());
}

QRect DialogUnitsToPixels(const QRect& r, const QSize& base) {
  return QRect(MulDiv(r.x(), base.width(), 4), MulDiv(r.y(), base.height(), 8), MulDiv(r.width(), base.width(), 4),
               MulDiv(r.height(), base.height(), 8));
}

void ApplyDialogUnits(QWidget* dialog) {
  if (!dialog->property("dialogUnits").toBool() || dialog->property(kConverted).toBool()) return;
  dialog->setProperty(kConverted, true);
  UseDialogFontFamily(dialog);
  const QSize base = DialogBaseUnits(dialog->font());
  const QRect client = DialogUnitsToPixels(QRect(QPoint(0, 0), dialog->size()), base);
  dialog->setFixedSize(client.size());
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    QRect pixels = DialogUnitsToPixels(child->geometry(), base);
    if (qobject_cast<QComboBox*>(child)) pixels.setHeight(child->sizeHint().height());
    child->setGeometry(pixels);
  }
}

}  // namespace ui
