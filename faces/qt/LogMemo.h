// RxMemo's kind: a read-only log that hands every typed character to the
// window's key handler and keeps the key from climbing on to the window,
// so that each character is matched exactly once.
#pragma once

#include <QPlainTextEdit>

#include <functional>

class TLogMemo : public QPlainTextEdit {
public:
  explicit TLogMemo(QWidget* parent);
  void SetOnKeyPress(std::function<void(const QString&)> handler) { FOnKeyPress = std::move(handler); }

protected:
  bool event(QEvent* e) override;

private:
  std::function<void(const QString&)> FOnKeyPress;
};
