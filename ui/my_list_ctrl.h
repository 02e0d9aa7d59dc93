// The report-style list of the station's dialogs: rows of text cells under a
// header, with FitColumns to size every column to the larger of its contents
// and its heading.
#pragma once
#include <QTreeWidget>

class CMyListCtrl : public QTreeWidget {
  Q_OBJECT

 public:
  explicit CMyListCtrl(QWidget* parent = nullptr);

  void FitColumns();
};
