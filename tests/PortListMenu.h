// The window's list of ports as a test or the rig answers it: the menu that
// drops up from the strip, its lines, and one of them chosen with the keys.
#pragma once

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

// The list, while it is up; none otherwise.
inline QMenu* PortListUp() {
  auto* list = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  return list != nullptr && list->objectName() == "PortList" && list->isVisible() ? list : nullptr;
}

// Its lines, the title left out.
inline std::vector<QAction*> PortListLines(QMenu& list) {
  std::vector<QAction*> lines;
  for (QAction* item : list.actions())
    if (!item->isSeparator()) lines.push_back(item);
  return lines;
}

// The first line `wanted` takes, chosen as with the keys (Return); none: the
// list is closed (Escape).
inline void ChooseFromPortList(QMenu& list, const std::function<bool(const QAction&)>& wanted) {
  for (QAction* item : PortListLines(list)) {
    if (!item->isEnabled() || !wanted(*item)) continue;
    list.setActiveAction(item);
    QTest::keyClick(&list, Qt::Key_Return);
    return;
  }
  QTest::keyClick(&list, Qt::Key_Escape);
}
