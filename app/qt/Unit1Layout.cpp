// The main window's controls: where each one sits at 96 pixels per inch, how it
// follows a resize, what it is connected to, and the tab order.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <iterator>

#include "app/qt/LinePane.h"
#include "app/qt/Unit1.h"

namespace app {

namespace {

// The fonts the layout was drawn for, or the nearest of similar width where they are missing
// (most Linux desktops have neither Tahoma nor Courier New).
QFont NearestFont(bool fixed) {
  QFont f;
  if (fixed) {
    f.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                   QStringLiteral("DejaVu Sans Mono")});
    f.setStyleHint(QFont::TypeWriter);
  } else {
    f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Verdana"),
                   QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans")});
    f.setStyleHint(QFont::SansSerif);
  }
  f.setPointSize(8);  // height -11 at 96 pixels per inch
  return f;
}

QLineEdit* NewEdit(QWidget* parent, const QRect& at, const char* text) {
  auto* e = new QLineEdit(QString::fromLatin1(text), parent);
  e->setGeometry(at);
  return e;
}

QPushButton* NewButton(QWidget* parent, const QRect& at, const char* caption, bool bold = false) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setGeometry(at);
  if (bold) {
    QFont f = b->font();
    f.setBold(true);
    b->setFont(f);
  }
  return b;
}

QLabel* NewLabel(QWidget* parent, const QRect& at, const char* text) {
  auto* lb = new QLabel(QString::fromLatin1(text), parent);
  lb->setGeometry(at);
  // Labels size themselves to their text, as the layout assumes.
  lb->adjustSize();
  return lb;
}

TLinePane* NewPane(QWidget* parent, const QRect& at) {
  auto* p = new TLinePane(parent);
  p->setGeometry(at);
  p->setFont(NearestFont(true));
  return p;
}

}  // namespace

QRect TForm1::Scaled(int left, int top, int width, int height) const {
  const double f = logicalDpiX() > 0 ? logicalDpiX() / 96.0 : 1.0;
  auto s = [f](int v) { return static_cast<int>(std::lround(v * f)); };
  return QRect(s(left), s(top), s(width), s(height));
}

void TForm1::CreateControls() {
  setFont(NearestFont(false));
  CreateRunControls();
  CreatePaneControls();
  CreateTotalControls();
  AnchorControls();
  ConnectControls();
}

// The URL, the number of loads and the buttons beside them.
void TForm1::CreateRunControls() {
  URLEdit = NewEdit(this, Scaled(8, 8, 212, 21), "http://");
  GoButton = NewButton(this, Scaled(225, 8, 73, 21), "&TEST");
  GoButton->setDefault(true);
  Label4 = NewLabel(this, Scaled(8, 42, 82, 13), "Number of loads:");
  Edit4 = NewEdit(this, Scaled(93, 40, 33, 21), "3");
  CheckBox1 = new QCheckBox(QStringLiteral("I confirm this number"), this);
  CheckBox1->setGeometry(Scaled(135, 42, 157, 17));
  QPalette p = CheckBox1->palette();
  p.setColor(QPalette::WindowText, Qt::red);
  CheckBox1->setPalette(p);
  CheckBox1->setFont(NearestFont(false));
  CheckBox1->setVisible(false);
  Label6 = NewLabel(this, Scaled(317, 45, 38, 13), "History:");
  Label5 = NewLabel(this, Scaled(336, 9, 236, 13), "Copyright (C) 2026 The Tachyload developers");
  Button7 = NewButton(this, Scaled(471, 27, 76, 19), "About");
}

// The page and history panes with their Save and Copy buttons.
void TForm1::CreatePaneControls() {
  DisplayMemo = NewPane(this, Scaled(8, 66, 290, 263));
  Memo2 = NewPane(this, Scaled(309, 66, 235, 262));
  Button5 = NewButton(this, Scaled(132, 333, 61, 19), "Save");
  Button3 = NewButton(this, Scaled(201, 333, 99, 19), "Copy to Clpboard");
  Button6 = NewButton(this, Scaled(378, 333, 61, 19), "&Save");
  Button4 = NewButton(this, Scaled(447, 333, 99, 19), "&Copy to Clpboard");
}

// The run's totals and the buttons along the bottom.
void TForm1::CreateTotalControls() {
  Label1 = NewLabel(this, Scaled(11, 342, 50, 13), "Time (ms):");
  Edit1 = NewEdit(this, Scaled(9, 357, 113, 21), "");
  Label2 = NewLabel(this, Scaled(11, 385, 61, 13), "Size (bytes):");
  Edit2 = NewEdit(this, Scaled(9, 402, 113, 21), "");
  Label3 = NewLabel(this, Scaled(144, 387, 71, 13), "SPEED (BpS):");
  QFont f = Label3->font();
  f.setBold(true);
  Label3->setFont(f);
  Label3->adjustSize();
  Edit3 = NewEdit(this, Scaled(144, 403, 151, 21), "");
  QPalette p = Edit3->palette();
  p.setColor(QPalette::Base, p.color(QPalette::ToolTipBase));  // the info-tip background
  Edit3->setPalette(p);
  Button2 = NewButton(this, Scaled(321, 399, 106, 29), "&Help (online)", true);
  Button1 = NewButton(this, Scaled(438, 399, 106, 29), "E&xit", true);
  StopButton = NewButton(this, Scaled(204, 437, 106, 23), "Stop");
  StopButton->setEnabled(false);
  StopButton->setToolTip(QStringLiteral("Stop the test (Esc)"));
  OptionsButton = NewButton(this, Scaled(321, 437, 106, 23), "&Options...");
  DetailsButton = NewButton(this, Scaled(438, 437, 106, 23), "&Details");
  TrendsButton = NewButton(this, Scaled(87, 437, 106, 23), "T&rends");
}

// Resizing grows the two panes, each by half the extra width and by all the
// extra height; what lies right of or below them moves along.
void TForm1::AnchorControls() {
  Anchor(URLEdit, 0, 0.5, 0, 0);
  Anchor(GoButton, 0.5, 0, 0, 0);
  Anchor(Label6, 0.5, 0, 0, 0);
  Anchor(Label5, 1, 0, 0, 0);
  Anchor(Button7, 1, 0, 0, 0);
  Anchor(DisplayMemo, 0, 0.5, 0, 1);
  Anchor(Memo2, 0.5, 0.5, 0, 1);
  for (QWidget* w : {static_cast<QWidget*>(Button5), static_cast<QWidget*>(Button3)}) Anchor(w, 0.5, 0, 1, 0);
  for (QWidget* w :
       {Button6, Button4, Button2, Button1, StopButton, OptionsButton, DetailsButton, TrendsButton})
    Anchor(w, 1, 0, 1, 0);
  for (QWidget* w :
       {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Edit1), static_cast<QWidget*>(Label2),
        static_cast<QWidget*>(Edit2), static_cast<QWidget*>(Label3), static_cast<QWidget*>(Edit3)})
    Anchor(w, 0, 0, 1, 0);
}

void TForm1::ConnectControls() {
  connect(GoButton, &QPushButton::clicked, this, &TForm1::GoButtonClick);
  // TEST is the default action of the two edits.
  connect(URLEdit, &QLineEdit::returnPressed, this, &TForm1::GoButtonClick);
  connect(Edit4, &QLineEdit::returnPressed, this, &TForm1::GoButtonClick);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
  connect(StopButton, &QPushButton::clicked, this, &TForm1::StopButtonClick);
  connect(DetailsButton, &QPushButton::clicked, this, &TForm1::DetailsButtonClick);
  connect(TrendsButton, &QPushButton::clicked, this, &TForm1::TrendsButtonClick);
  connect(OptionsButton, &QPushButton::clicked, this, &TForm1::OptionsButtonClick);
}

void TForm1::Anchor(QWidget* control, double moveX, double growX, double moveY, double growY) {
  FAnchors.push_back({control, control->geometry(), moveX, growX, moveY, growY});
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int dx = std::max(0, width() - FDesignSize.width());
  const int dy = std::max(0, height() - FDesignSize.height());
  auto share = [](double f, int d) { return static_cast<int>(f * d); };
  for (const TAnchor& a : FAnchors)
    a.control->setGeometry(a.design.x() + share(a.moveX, dx), a.design.y() + share(a.moveY, dy),
                           a.design.width() + share(a.growX, dx), a.design.height() + share(a.growY, dy));
}

void TForm1::SetTabOrder() {
  // The tab order the layout was drawn with, from 0 up.
  QWidget* order[] = {GoButton, URLEdit, DisplayMemo, Edit1,   Edit2,   Edit3,   Edit4,   Button1,
                      Button2,  Memo2,   CheckBox1,   Button3, Button4, Button5, Button6, Button7};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

}  // namespace app
