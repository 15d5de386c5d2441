#include "app/qt/LinePane.h"

#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace app {

TLinePane::TLinePane(QWidget* parent) : QAbstractScrollArea(parent) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
}

void TLinePane::NoteWidths(size_t from) {
  for (size_t i = from; i < FLines.Count(); ++i) FLongestLine = std::max(FLongestLine, FLines.Line(i).size());
}

void TLinePane::AppendLines(const TPageLines& lines) {
  const size_t before = FLines.Count();
  FLines.Append(lines);
  NoteWidths(before);
  UpdateScrollBars();
  // Like a memo, the pane follows what was added last.
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  viewport()->update();
}

void TLinePane::AppendLine(const std::string& line) {
  TPageLines one;
  one.Add(line.data(), line.size());
  AppendLines(one);
}

void TLinePane::Clear() {
  FLines.Clear();
  FLongestLine = 0;
  UpdateScrollBars();
  viewport()->update();
}

int TLinePane::VisibleLineCount() const {
  const int h = fontMetrics().lineSpacing();
  return h > 0 ? std::max(1, viewport()->height() / h) : 1;
}

void TLinePane::UpdateScrollBars() {
  const int count = static_cast<int>(std::min<size_t>(FLines.Count(), INT32_MAX));
  const int visible = VisibleLineCount();
  verticalScrollBar()->setRange(0, std::max(0, count - visible));
  verticalScrollBar()->setPageStep(visible);
  const int charWidth = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
  const auto textWidth =
      static_cast<int>(std::min<size_t>(FLongestLine * static_cast<size_t>(charWidth), INT32_MAX / 2));
  horizontalScrollBar()->setRange(0, std::max(0, textWidth + 4 - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  horizontalScrollBar()->setSingleStep(charWidth);
}

void TLinePane::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.setPen(palette().color(QPalette::Text));
  const QFontMetrics fm = fontMetrics();
  const int h = fm.lineSpacing();
  const int x = 2 - horizontalScrollBar()->value();
  int y = fm.ascent() + 1;
  const size_t first = static_cast<size_t>(verticalScrollBar()->value());
  for (size_t i = first; i < FLines.Count() && y - fm.ascent() < viewport()->height(); ++i, y += h) {
    const std::string_view line = FLines.Line(i);
    p.drawText(x, y, QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
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

void TLinePane::keyPressEvent(QKeyEvent* event) {
  QScrollBar* v = verticalScrollBar();
  QScrollBar* hb = horizontalScrollBar();
  switch (event->key()) {
    case Qt::Key_Up:
      v->setValue(v->value() - 1);
      break;
    case Qt::Key_Down:
      v->setValue(v->value() + 1);
      break;
    case Qt::Key_PageUp:
      v->setValue(v->value() - v->pageStep());
      break;
    case Qt::Key_PageDown:
      v->setValue(v->value() + v->pageStep());
      break;
    case Qt::Key_Home:
      v->setValue(0);
      break;
    case Qt::Key_End:
      v->setValue(v->maximum());
      break;
    case Qt::Key_Left:
      hb->setValue(hb->value() - hb->singleStep());
      break;
    case Qt::Key_Right:
      hb->setValue(hb->value() + hb->singleStep());
      break;
    default:
      QAbstractScrollArea::keyPressEvent(event);
      return;
  }
  viewport()->update();
}

}  // namespace app
