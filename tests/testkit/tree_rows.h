// What a list of the program's windows shows, for comparing with QCOMPARE.
#pragma once

#include <QStringList>
#include <QTreeWidget>

namespace vantelo::testkit {

// Every top-level row of `tree`, its columns joined by '|' (the route list:
// "entry|server|port|status"), top to bottom.
inline QStringList TreeRows(const QTreeWidget* tree) {
  QStringList rows;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = tree->topLevelItem(i);
    QStringList cells;
    for (int column = 0; column < tree->columnCount(); ++column) cells << item->text(column);
    rows << cells.join('|');
  }
  return rows;
}

}  // namespace vantelo::testkit
