// A read-only, scrolling pane of text lines that keeps the received bytes as they
// are (one byte, one character) and draws only the visible lines, so appending a
// large page into the emptied pane costs no copy of its bytes.
//
// Text can be selected with the mouse (drag, Shift+click) and the keyboard
// (Shift with the arrows, Home, End, Page Up/Down; Ctrl+A) and copied with
// Ctrl+C. A selection is two positions, so it costs nothing however many lines
// it spans; its text is built only when copied. As in a text box whose lines all
// end in CR LF, the position after the last line's break exists: selecting all
// copies exactly what the Copy buttons copy.
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QTimer>

#include "app/SpeedRun.h"

namespace app {

// A place between two characters: line (0 .. Count, where Count is the empty
// place after the last break) and column (0 .. the line's length).
struct TTextPos {
  size_t line = 0;
  size_t col = 0;
  auto operator<=>(const TTextPos&) const = default;
};

class TLinePane : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TLinePane(QWidget* parent = nullptr);
  // An empty pane takes the lines over; otherwise they are appended.
  void AppendLines(TPageLines&& lines);
  // Splits a received page into lines and appends them (TPageLines::AppendPage).
  void AppendPage(const char* page, int64_t size);
  // The same for a received stream, whose block an empty pane takes over
  // (TPageLines::AppendReceived).
  void AppendReceived(core::TMemoryStream& page);
  void AppendLine(const std::string& line);
  void Clear();
  const TPageLines& Lines() const { return FLines; }

  void SelectAll();
  void Select(TTextPos anchor, TTextPos caret);
  bool HasSelection() const { return FAnchor != FCaret; }
  TTextPos SelectionStart() const { return std::min(FAnchor, FCaret); }
  TTextPos SelectionEnd() const { return std::max(FAnchor, FCaret); }
  // The selected characters, a CR LF for every line break inside the selection.
  std::string SelectedText() const;
  void CopySelection() const;
  // The place under a point of the viewport, and the viewport point of a place's
  // top-left corner.
  TTextPos PositionAt(QPoint point) const;
  QPoint PointOf(TTextPos pos) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void LinesAdded(bool selecting);
  void ScheduleShow();
  void ShowAdded();
  void UpdateScrollBars();
  int VisibleLineCount() const;
  int CharWidth() const;
  size_t LineLength(size_t line) const;
  TTextPos Clamped(TTextPos pos) const;
  TTextPos EndPos() const { return {FLines.Count(), 0}; }
  // The caret's place after a navigation key, or false for another key.
  bool Moved(const QKeyEvent* event, TTextPos& to) const;
  void MoveCaret(TTextPos to, bool extend);
  void EnsureVisible(TTextPos pos);
  void PaintSelection(QPainter& p, size_t line, size_t first, int x, int top, const QString& text);

  TPageLines FLines;
  QElapsedTimer FShown;  // since added lines were last shown
  QTimer FShowTimer;
  bool FAdding = false;
  static constexpr qint64 kShowMs = 40;
  TTextPos FAnchor, FCaret;
  bool FDragging = false;
};

}  // namespace app
