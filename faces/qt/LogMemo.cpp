#include "LogMemo.h"

#include <QKeyEvent>

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  setFocusPolicy(Qt::StrongFocus);
}

bool TLogMemo::event(QEvent* e) {
  if (e->type() != QEvent::KeyPress) return QPlainTextEdit::event(e);
  auto* key = static_cast<QKeyEvent*>(e);
  // Seen before the base class, so that Tab reaches the handler too.
  if (FOnKeyPress && !key->text().isEmpty()) FOnKeyPress(key->text());
  const bool handled = QPlainTextEdit::event(e);
  if (!key->text().isEmpty()) {
    key->accept();
    return true;
  }
  return handled;
}
