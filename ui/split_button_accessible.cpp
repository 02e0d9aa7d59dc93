#include "split_button_accessible.h"

#include <QAccessibleWidget>
#include <QMetaObject>
#include <QToolButton>

namespace ui {
namespace {

class SplitButtonAccessible : public QAccessibleWidget {
 public:
  explicit SplitButtonAccessible(QToolButton* button) : QAccessibleWidget(button, QAccessible::ButtonMenu) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && Button()->accessibleName().isEmpty()) return Button()->text();
    return QAccessibleWidget::text(t);
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.hasPopup = true;
    s.pressed = Button()->isDown();
    return s;
  }

  QStringList actionNames() const override {
    if (!Button()->isEnabled()) return {};
    return {pressAction(), showMenuAction()};
  }

  void doAction(const QString& actionName) override {
    if (!Button()->isEnabled()) return;
    // Queued, so that the request returns at once: the menu runs an event
    // loop of its own, and a body press may open a dialog.
    if (actionName == pressAction()) {
      QMetaObject::invokeMethod(Button(), &QToolButton::click, Qt::QueuedConnection);
    } else if (actionName == showMenuAction()) {
      QMetaObject::invokeMethod(Button(), &QToolButton::showMenu, Qt::QueuedConnection);
    }
  }

 private:
  QToolButton* Button() const { return static_cast<QToolButton*>(object()); }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (className != QLatin1String("QToolButton") || !object || !object->isWidgetType()) return nullptr;
  auto* button = static_cast<QToolButton*>(object);
  if (button->popupMode() != QToolButton::MenuButtonPopup) return nullptr;
  return new SplitButtonAccessible(button);
}

}  // namespace

void InstallSplitButtonAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

}  // namespace ui
