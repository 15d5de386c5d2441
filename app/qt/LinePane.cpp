#include "app/qt/LinePane.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <utility>

namespace app {

TLinePane::TLinePane(QWidget* parent) : QAbstractScrollArea(parent) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  // Columns are counted in character widths, for the mouse, the selection and
  // the drawing of what is in view: the pane needs a fixed-pitch font.
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  FShowTimer.setSingleShot(true);
  connect(&FShowTimer, &QTimer::timeout, this, &TLinePane::ShowAdded);
}

void TLinePane::AppendLines(TPageLines&& lines) {
  const bool selecting = HasSelection() || FDragging;
  if (FLines.Count() == 0)
    FLines = std::move(lines);
  else
    FLines.Append(lines);
  LinesAdded(selecting);
}

void TLinePane::AppendPage(const char* page, int64_t size) {
  const bool selecting = HasSelection() || FDragging;
  FLines.AppendPage(page, size);
  LinesAdded(selecting);
}

void TLinePane::AppendReceived(core::TMemoryStream& page) {
  const bool selecting = HasSelection() || FDragging;
  FLines.AppendReceived(page);
  LinesAdded(selecting);
}

void TLinePane::LinesAdded(bool selecting) {
  // Places stay valid when lines are added; an idle caret follows the text's end.
  if (!selecting) FAnchor = FCaret = EndPos();
  ScheduleShow();
}

// Pages can arrive hundreds of times a second, each inside a timed load: the pane
// shows the latest at most every kShowMs (scroll bars, scrolling to the end and
// painting) rather than once per page.
void TLinePane::ScheduleShow() {
  if (!FShown.isValid() || FShown.elapsed() >= kShowMs) {
    ShowAdded();
    return;
  }
  if (!FShowTimer.isActive()) FShowTimer.start(static_cast<int>(kShowMs - FShown.elapsed()));
}

void TLinePane::ShowAdded() {
  FShowTimer.stop();
  FShown.start();
  // Like a memo, the pane follows what was added last; the scrolling is part of
  // the repaint below.
  FAdding = true;
  UpdateScrollBars();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  FAdding = false;
  viewport()->update();
}

void TLinePane::scrollContentsBy(int dx, int dy) {
  if (FAdding) return;
  QAbstractScrollArea::scrollContentsBy(dx, dy);
}

void TLinePane::AppendLine(const std::string& line) {
  TPageLines one;
  one.Add(line.data(), line.size());
  AppendLines(std::move(one));
}

void TLinePane::Clear() {
  FLines.Clear();
  FAnchor = FCaret = TTextPos{};
  UpdateScrollBars();
  viewport()->update();
}

// --- selection ---

size_t TLinePane::LineLength(size_t line) const {
  return line < FLines.Count() ? FLines.Line(line).size() : 0;
}

TTextPos TLinePane::Clamped(TTextPos pos) const {
  if (pos.line >= FLines.Count()) return EndPos();
  pos.col = std::min(pos.col, LineLength(pos.line));
  return pos;
}

void TLinePane::Select(TTextPos anchor, TTextPos caret) {
  FAnchor = Clamped(anchor);
  FCaret = Clamped(caret);
  viewport()->update();
}

void TLinePane::SelectAll() {
  Select({}, EndPos());
}

std::string TLinePane::SelectedText() const {
  const TTextPos from = SelectionStart(), to = SelectionEnd();
  std::string r;
  for (size_t line = from.line; line <= to.line && line < FLines.Count(); ++line) {
    const std::string_view text = FLines.Line(line);
    const size_t begin = line == from.line ? from.col : 0;
    const size_t end = line == to.line ? to.col : text.size();
    r.append(text.substr(begin, end - begin));
    if (line < to.line) r += "\r\n";
  }
  return r;
}

void TLinePane::CopySelection() const {
  const std::string text = SelectedText();
  QGuiApplication::clipboard()->setText(
      QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

// --- geometry ---

int TLinePane::CharWidth() const {
  return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
}

int TLinePane::VisibleLineCount() const {
  const int h = fontMetrics().lineSpacing();
  return h > 0 ? std::max(1, viewport()->height() / h) : 1;
}

TTextPos TLinePane::PositionAt(QPoint point) const {
  const int h = std::max(1, fontMetrics().lineSpacing());
  const auto first = static_cast<int64_t>(verticalScrollBar()->value());
  const int64_t row = point.y() < 1 ? -1 + (point.y() - 1) / h : (point.y() - 1) / h;
  const int64_t line = std::max<int64_t>(0, first + row);
  const int cw = CharWidth();
  const int x = point.x() - 2 + horizontalScrollBar()->value();
  const int64_t col = std::max(0, (x + cw / 2) / cw);
  return Clamped({static_cast<size_t>(line), static_cast<size_t>(col)});
}

QPoint TLinePane::PointOf(TTextPos pos) const {
  const int h = fontMetrics().lineSpacing();
  const auto row = static_cast<int64_t>(pos.line) - verticalScrollBar()->value();
  return QPoint(2 - horizontalScrollBar()->value() + static_cast<int>(pos.col) * CharWidth(),
                1 + static_cast<int>(row * h));
}

void TLinePane::EnsureVisible(TTextPos pos) {
  QScrollBar* v = verticalScrollBar();
  const auto line = static_cast<int>(std::min<size_t>(pos.line, INT32_MAX));
  const int visible = VisibleLineCount();
  if (line < v->value()) v->setValue(line);
  if (line >= v->value() + visible) v->setValue(line - visible + 1);
  QScrollBar* hb = horizontalScrollBar();
  const int x = static_cast<int>(pos.col) * CharWidth();
  const int width = viewport()->width() - 4;
  if (x < hb->value()) hb->setValue(x);
  if (x > hb->value() + width) hb->setValue(x - width);
}

void TLinePane::UpdateScrollBars() {
  // The place after the last break is a line of its own, as in a text box.
  const int count = static_cast<int>(std::min<size_t>(FLines.Count() + 1, INT32_MAX));
  const int visible = VisibleLineCount();
  verticalScrollBar()->setRange(0, std::max(0, count - visible));
  verticalScrollBar()->setPageStep(visible);
  const int charWidth = CharWidth();
  const auto textWidth = static_cast<int>(
      std::min<size_t>(FLines.LongestLine() * static_cast<size_t>(charWidth), INT32_MAX / 2));
  horizontalScrollBar()->setRange(0, std::max(0, textWidth + 4 - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  horizontalScrollBar()->setSingleStep(charWidth);
}

// --- drawing: only the visible lines ---

// A visible stretch of one line: its columns from first on, drawn at x.
void TLinePane::PaintSelection(QPainter& p, size_t line, size_t first, int x, int top, const QString& text) {
  const TTextPos from = SelectionStart(), to = SelectionEnd();
  if (!HasSelection() || line < from.line || line > to.line) return;
  const int cw = CharWidth();
  const size_t begin = std::max(first, line == from.line ? from.col : 0);
  // A selected line break shows as one selected blank after the text.
  const size_t end = line == to.line ? to.col : LineLength(line) + 1;
  if (end <= begin) return;
  const QRect band(x + static_cast<int>(begin - first) * cw, top,
                   static_cast<int>(std::min<size_t>(end - begin, INT32_MAX / 2 / cw)) * cw,
                   fontMetrics().lineSpacing());
  p.fillRect(band, palette().color(QPalette::Highlight));
  p.save();
  p.setClipRect(band);
  p.setPen(palette().color(QPalette::HighlightedText));
  p.drawText(x, top + fontMetrics().ascent(), text);
  p.restore();
}

// Only the lines and columns in view are drawn: a page's line can be megabytes
// long (minified markup), and text is laid out per character drawn.
void TLinePane::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.setPen(palette().color(QPalette::Text));
  const QFontMetrics fm = fontMetrics();
  const int h = fm.lineSpacing();
  const int cw = CharWidth();
  const int scrolled = horizontalScrollBar()->value();
  const auto firstCol = static_cast<size_t>(scrolled / cw);
  const auto cols = static_cast<size_t>(viewport()->width() / cw) + 2;
  const int x = 2 - scrolled + static_cast<int>(firstCol) * cw;
  int top = 1;
  const auto first = static_cast<size_t>(verticalScrollBar()->value());
  for (size_t i = first; i < FLines.Count() && top < viewport()->height(); ++i, top += h) {
    const std::string_view line = FLines.Line(i);
    const std::string_view shown = line.substr(std::min(firstCol, line.size()), cols);
    const QString text = QString::fromLatin1(shown.data(), static_cast<qsizetype>(shown.size()));
    p.drawText(x, top + fm.ascent(), text);
    PaintSelection(p, i, firstCol, x, top, text);
  }
  if (hasFocus()) {
    const QPoint c = PointOf(FCaret);
    p.setPen(palette().color(QPalette::Text));
    p.drawLine(c.x(), c.y(), c.x(), c.y() + h - 1);
  }
}

void TLinePane::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void TLinePane::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) UpdateScrollBars();
}

void TLinePane::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void TLinePane::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

// --- keyboard and mouse ---

void TLinePane::MoveCaret(TTextPos to, bool extend) {
  FCaret = Clamped(to);
  if (!extend) FAnchor = FCaret;
  EnsureVisible(FCaret);
  viewport()->update();
}

bool TLinePane::Moved(const QKeyEvent* event, TTextPos& to) const {
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  const size_t page = static_cast<size_t>(VisibleLineCount());
  to = FCaret;
  switch (event->key()) {
    case Qt::Key_Up:
      if (to.line > 0) --to.line;
      break;
    case Qt::Key_Down:
      ++to.line;
      break;
    case Qt::Key_PageUp:
      to.line -= std::min(to.line, page);
      break;
    case Qt::Key_PageDown:
      to.line += page;
      break;
    case Qt::Key_Home:
      to = ctrl ? TTextPos{} : TTextPos{to.line, 0};
      break;
    case Qt::Key_End:
      to = ctrl ? EndPos() : TTextPos{to.line, LineLength(to.line)};
      break;
    case Qt::Key_Left:
      if (to.col > 0)
        --to.col;
      else if (to.line > 0)
        to = {to.line - 1, LineLength(to.line - 1)};
      break;
    case Qt::Key_Right:
      if (to.col < LineLength(to.line))
        ++to.col;
      else if (to.line < FLines.Count())
        to = {to.line + 1, 0};
      break;
    default:
      return false;
  }
  return true;
}

void TLinePane::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    CopySelection();
    return;
  }
  if (event->matches(QKeySequence::SelectAll)) {
    SelectAll();
    return;
  }
  TTextPos to;
  if (!Moved(event, to)) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  MoveCaret(to, event->modifiers() & Qt::ShiftModifier);
}

void TLinePane::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  FDragging = true;
  MoveCaret(PositionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TLinePane::mouseMoveEvent(QMouseEvent* event) {
  if (FDragging && (event->buttons() & Qt::LeftButton))
    MoveCaret(PositionAt(event->position().toPoint()), true);
}

void TLinePane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) FDragging = false;
  QAbstractScrollArea::mouseReleaseEvent(event);
}

}  // namespace app
