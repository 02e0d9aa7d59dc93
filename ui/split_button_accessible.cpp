// The accessible interfaces of the split buttons, their menus and the menus'
// entries.
#include "split_button_accessible.h"

#include <QAccessibleWidget>
#include <QAction>
#include <QMenu>
#include <QMetaObject>
#include <QPointer>
#include <QToolButton>

namespace ui {
namespace {

// A caption as it reads: "&&" is an ampersand, a single "&" marks the mnemonic.
QString WithoutMnemonic(const QString& caption) {
  QString text;
  text.reserve(caption.size());
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == u'&' && i + 1 < caption.size()) ++i;
    text += caption[i];
  }
  return text;
}

bool IsSplitButton(const QObject* object) {
  const auto* button = qobject_cast<const QToolButton*>(object);
  return button && button->popupMode() == QToolButton::MenuButtonPopup;
}

// What the operator could choose on screen: an enabled entry of an enabled
// button's menu.
bool Choosable(const QMenu* menu, const QAction* action) {
  if (!menu || !action) return false;
  const QWidget* button = menu->parentWidget();
  return !action->isSeparator() && action->isEnabled() && action->isVisible() && menu->isEnabled() &&
         (!button || button->isEnabled());
}

// An entry of a split button's menu. Pressed, it does what a click does: the
// menu closes and the entry runs; queued, so that the request returns at once
// although the entry may open a dialog.
class SplitMenuItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  SplitMenuItemAccessible(QMenu* menu, QAction* action) : m_menu(menu), m_action(action) {}

  bool isValid() const override { return m_menu && m_action; }
  QObject* object() const override { return m_action; }
  QWindow* window() const override { return m_menu ? m_menu->windowHandle() : nullptr; }

  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_menu); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    switch (t) {
      case QAccessible::Name:
        return WithoutMnemonic(m_action->text());
      case QAccessible::Accelerator:
        return m_action->shortcut().toString(QKeySequence::NativeText);
      default:
        return {};
    }
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid()) return {};
    return m_menu->actionGeometry(m_action).translated(m_menu->mapToGlobal(QPoint(0, 0)));
  }
  QAccessible::Role role() const override {
    return m_action && m_action->isSeparator() ? QAccessible::Separator : QAccessible::MenuItem;
  }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) return s;
    s.invisible = !m_menu->isVisible() || !m_action->isVisible();
    s.disabled = !Choosable(m_menu, m_action);
    s.focusable = !m_action->isSeparator();
    s.focused = m_menu->activeAction() == m_action;
    s.checkable = m_action->isCheckable();
    s.checked = m_action->isChecked();
    return s;
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }
  QStringList actionNames() const override {
    if (!Choosable(m_menu, m_action)) return {};
    return {pressAction()};
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }
  void doAction(const QString& actionName) override {
    if (actionName != pressAction() || !Choosable(m_menu, m_action)) return;
    QMetaObject::invokeMethod(
        m_menu,
        [menu = m_menu, action = m_action] {
          if (!Choosable(menu, action)) return;  // changed while the request waited
          menu->hide();
          action->trigger();
        },
        Qt::QueuedConnection);
  }

 private:
  QPointer<QMenu> m_menu;
  QPointer<QAction> m_action;
};

// The menu of a split button: a popup menu under its button, one child per
// entry in the menu's order (the order of the focus events that the menu
// sends while the operator moves through it).
class SplitMenuAccessible : public QAccessibleWidget {
 public:
  explicit SplitMenuAccessible(QMenu* menu) : QAccessibleWidget(menu, QAccessible::PopupMenu) {}

  QAccessibleInterface* parent() const override {
    return QAccessible::queryAccessibleInterface(Menu()->parentWidget());
  }
  int childCount() const override { return static_cast<int>(Menu()->actions().size()); }
  QAccessibleInterface* child(int index) const override {
    const QList<QAction*> actions = Menu()->actions();
    return index >= 0 && index < actions.size() ? ItemOf(actions.at(index)) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (!child) return -1;
    return static_cast<int>(Menu()->actions().indexOf(qobject_cast<QAction*>(child->object())));
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    QAction* action = Menu()->actionAt(Menu()->mapFromGlobal(QPoint(x, y)));
    return action ? ItemOf(action) : nullptr;
  }

  // A menu without a title of its own is named after its button.
  QString text(QAccessible::Text t) const override {
    const QString own = QAccessibleWidget::text(t);
    if (t != QAccessible::Name || !own.isEmpty()) return own;
    if (!Menu()->title().isEmpty()) return WithoutMnemonic(Menu()->title());
    QAccessibleInterface* button = parent();
    return button ? button->text(QAccessible::Name) : QString();
  }

 private:
  QMenu* Menu() const { return static_cast<QMenu*>(object()); }

  // One interface per entry for the entry's lifetime: the accessibility cache
  // owns it and drops it with the action.
  QAccessibleInterface* ItemOf(QAction* action) const {
    if (QAccessibleInterface* known = QAccessible::queryAccessibleInterface(action)) return known;
    auto* item = new SplitMenuItemAccessible(Menu(), action);
    QAccessible::registerAccessibleInterface(item);
    return item;
  }
};

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

  // The menu is a window of its own, which QAccessibleWidget leaves out of a
  // widget's children.
  int childCount() const override { return Button()->menu() ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && Button()->menu() ? QAccessible::queryAccessibleInterface(Button()->menu()) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child && Button()->menu() && child->object() == Button()->menu() ? 0 : -1;
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

// Qt keeps the first interface it makes for an object as long as the object
// lives, so a menu is told apart by what it has from its constructor on, its
// parent, not by the button's menu(), which is set afterwards.
QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (!object || !object->isWidgetType()) return nullptr;
  if (className == QLatin1String("QToolButton") && IsSplitButton(object)) {
    return new SplitButtonAccessible(static_cast<QToolButton*>(object));
  }
  if (className == QLatin1String("QMenu") && IsSplitButton(object->parent())) {
    return new SplitMenuAccessible(static_cast<QMenu*>(object));
  }
  return nullptr;
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
