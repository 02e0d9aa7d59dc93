#include "my_list_ctrl.h"

#include <QHeaderView>
#include <algorithm>

CMyListCtrl::CMyListCtrl(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  header()->setStretchLastSection(false);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CMyListCtrl::FitColumns() {
  setUpdatesEnabled(false);
  for (int column = 0; column < columnCount(); ++column) {
    const int contents = sizeHintForColumn(column);
    const int heading = header()->sectionSizeHint(column);
    setColumnWidth(column, std::max(contents, heading));
  }
  setUpdatesEnabled(true);
}
