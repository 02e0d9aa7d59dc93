// Dialog units to pixels, the way Windows lays out dialog templates.
#include "dialog_units.h"

#include <QComboBox>
#include <QFontMetrics>
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
