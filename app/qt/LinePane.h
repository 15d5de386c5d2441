// A read-only, scrolling pane of text lines that keeps the received bytes as they
// are (one byte, one character) and draws only the visible lines, so appending a
// large page costs one copy of its bytes.
#pragma once

#include <QAbstractScrollArea>

#include "app/SpeedTest.h"

namespace app {

class TLinePane : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TLinePane(QWidget* parent = nullptr);
  void AppendLines(const TPageLines& lines);
  void AppendLine(const std::string& line);
  void Clear();
  const TPageLines& Lines() const { return FLines; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void NoteWidths(size_t from);
  void UpdateScrollBars();
  int VisibleLineCount() const;

  TPageLines FLines;
  size_t FLongestLine = 0;  // in characters: the font is fixed-width
};

}  // namespace app
