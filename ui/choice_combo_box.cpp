// The accessible interfaces of a ChoiceComboBox and of its entries.
#include "choice_combo_box.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QMetaObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <vector>

namespace ui {
namespace {

// What the operator could choose on screen: an enabled entry, still in the
// list, of an enabled box.
bool Choosable(const QComboBox* box, const QPersistentModelIndex& entry) {
  return box && entry.isValid() && box->isEnabled() && (entry.flags() & Qt::ItemIsEnabled);
}

bool PopupShown(const QComboBox* box) { return box && box->view() && box->view()->isVisible(); }

// One entry of the list. It follows its entry while readers come and go
// around it, and ends with it: a request for a reader that has gone chooses
// nothing, rather than the reader that took its row.
class ChoiceEntryAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  ChoiceEntryAccessible(QComboBox* box, const QModelIndex& entry) : m_box(box), m_entry(entry) {}

  const QPersistentModelIndex& Entry() const { return m_entry; }

  bool isValid() const override { return m_box && m_entry.isValid(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return m_box ? m_box->window()->windowHandle() : nullptr; }

  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_box); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QString text(QAccessible::Text t) const override {
    if (!isValid() || t != QAccessible::Name) return {};
    return m_entry.data(Qt::DisplayRole).toString();
  }
  void setText(QAccessible::Text, const QString&) override {}
  // Where the entry shows in the open popup; nowhere while it is closed.
  QRect rect() const override {
    if (!isValid() || !PopupShown(m_box)) return {};
    QAbstractItemView* view = m_box->view();
    const QRect inView = view->visualRect(m_entry);
    return inView.translated(view->viewport()->mapToGlobal(QPoint(0, 0)));
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) return s;
    s.invisible = !PopupShown(m_box);
    s.disabled = !Choosable(m_box, m_entry);
    s.selectable = true;
    s.selected = m_box->currentIndex() == m_entry.row();
    return s;
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }
  QStringList actionNames() const override {
    if (!Choosable(m_box, m_entry)) return {};
    return {pressAction()};
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }
  // What a click on the entry in the popup does: the popup closes, the entry
  // becomes the choice and the box reports it as the operator's. Queued, so
  // that the request returns before the window acts on the choice.
  void doAction(const QString& actionName) override {
    if (actionName != pressAction() || !Choosable(m_box, m_entry)) return;
    QMetaObject::invokeMethod(
        m_box,
        [box = m_box, entry = m_entry] {
          if (!Choosable(box, entry)) return;  // changed while the request waited
          box->hidePopup();
          const int row = entry.row();
          box->setCurrentIndex(row);
          emit box->activated(row);
          emit box->textActivated(box->itemText(row));
        },
        Qt::QueuedConnection);
  }

 private:
  QPointer<QComboBox> m_box;
  QPersistentModelIndex m_entry;
};

class ChoiceComboAccessible : public QAccessibleWidget {
 public:
  explicit ChoiceComboAccessible(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}
  // The accessibility cache owns the entries' interfaces but drops only those
  // with an object of their own; entries have none.
  ~ChoiceComboAccessible() override {
    for (QAccessible::Id id : m_entries) QAccessible::deleteAccessibleInterface(id);
  }

  int childCount() const override { return Box()->count(); }
  QAccessibleInterface* child(int index) const override { return EntryAt(index); }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (QAccessible::Id id : m_entries) {
      if (QAccessible::accessibleInterface(id) == child && child->isValid()) {
        return static_cast<const ChoiceEntryAccessible*>(child)->Entry().row();
      }
    }
    return -1;
  }

  // The caption and the choice, as the window's value labels publish theirs;
  // the value is the choice alone.
  QString text(QAccessible::Text t) const override {
    const QString caption = QAccessibleWidget::text(t);
    const QString choice = Box()->currentText();
    if (t == QAccessible::Value) return choice;
    if (t != QAccessible::Name || choice.isEmpty()) return caption;
    return caption.isEmpty() ? choice : caption + u' ' + choice;
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.expandable = true;
    s.expanded = PopupShown(Box());
    return s;
  }

  // As Qt's own box: either action opens the popup, or closes it when open.
  QStringList actionNames() const override {
    if (!Box()->isEnabled()) return {};
    return {showMenuAction(), pressAction()};
  }
  void doAction(const QString& actionName) override {
    if (!Box()->isEnabled() || (actionName != showMenuAction() && actionName != pressAction())) return;
    QMetaObject::invokeMethod(
        Box(),
        [box = QPointer<QComboBox>(Box())] {
          if (!box) return;
          if (PopupShown(box)) {
            box->hidePopup();
          } else {
            box->showPopup();
          }
        },
        Qt::QueuedConnection);
  }

 private:
  QComboBox* Box() const { return static_cast<QComboBox*>(object()); }

  // One interface per entry for as long as the entry is in the list, so that
  // a screen reader that holds it keeps talking about the same reader.
  QAccessibleInterface* EntryAt(int row) const {
    const QModelIndex entry = Box()->model()->index(row, Box()->modelColumn(), Box()->rootModelIndex());
    if (!entry.isValid()) return nullptr;
    std::erase_if(m_entries, [](QAccessible::Id id) {
      QAccessibleInterface* known = QAccessible::accessibleInterface(id);
      if (known && known->isValid()) return false;
      if (known) QAccessible::deleteAccessibleInterface(id);
      return true;
    });
    for (QAccessible::Id id : m_entries) {
      auto* known = static_cast<ChoiceEntryAccessible*>(QAccessible::accessibleInterface(id));
      if (known->Entry() == entry) return known;
    }
    auto* made = new ChoiceEntryAccessible(Box(), entry);
    m_entries.push_back(QAccessible::registerAccessibleInterface(made));
    return made;
  }

  mutable std::vector<QAccessible::Id> m_entries;
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (className != QLatin1String(ChoiceComboBox::staticMetaObject.className())) return nullptr;
  auto* box = qobject_cast<ChoiceComboBox*>(object);
  return box ? new ChoiceComboAccessible(box) : nullptr;
}

}  // namespace

ChoiceComboBox::ChoiceComboBox(QWidget* parent) : QComboBox(parent) {
  // Before any interface of a box can be asked for.
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

}  // namespace ui
