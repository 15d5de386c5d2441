#include "app/qt/PhaseChart.h"

#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QtCharts/QBarSet>
#include <QtCharts/QStackedBarSeries>
#include <algorithm>

#include "app/ChartScale.h"

namespace app {

namespace {

// Colours told apart with any colour vision (the muted palette of Paul Tol,
// with the Okabe-Ito blue and orange): the two phases that usually dominate,
// wait and transfer, get the pale sand and the strong blue.
constexpr QRgb kSegmentColours[TPhaseChart::kSegments] = {
    0x88CCEE,  // dns: cyan
    0x44AA99,  // connect: teal
    0x117733,  // socks: green
    0x999933,  // tls: olive
    0x332288,  // auth: indigo
    0xCC6677,  // redirect: rose
    0xAA4499,  // request: purple
    0xDDCC77,  // wait: sand
    0x0072B2,  // transfer: blue
    0xE69F00,  // pane: orange
    0xBBBBBB,  // other: grey
    0x882255,  // a failed load: wine
};

constexpr int kMaxXLabels = 12;
constexpr int kMaxYSteps = 5;

double Ms(int64_t us) {
  return static_cast<double>(us) / 1000;
}

}  // namespace

QColor TPhaseChart::SegmentColour(size_t segment) {
  return QColor(kSegmentColours[std::min(segment, kSegments - 1)]);
}

QString TPhaseChart::SegmentName(size_t segment) {
  if (segment < kDetailPhaseCount) return QString::fromLatin1(DetailPhaseName(segment));
  return segment == kDetailPhaseCount ? QStringLiteral("other") : QStringLiteral("failed");
}

TPhaseChart::TPhaseChart(QWidget* parent) : QWidget(parent) {
  FChart = new QChart;
  FChart->setTitle(QStringLiteral("Time of each load by phase (ms)"));
  FChart->legend()->hide();  // the legend above the chart never cuts a name off
  FChart->setMargins(QMargins(4, 4, 4, 4));
  FAxisX = new QCategoryAxis(FChart);
  FAxisX->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  FAxisX->setTitleText(QStringLiteral("load"));
  FAxisY = new QValueAxis(FChart);
  FChart->addAxis(FAxisX, Qt::AlignBottom);
  FChart->addAxis(FAxisY, Qt::AlignLeft);
  FView = new QChartView(FChart, this);
  FView->setRenderHint(QPainter::Antialiasing);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(MakeLegend());
  layout->addWidget(FView, 1);
  ScaleAxes(0, 0);
}

QWidget* TPhaseChart::MakeLegend() {
  auto* legend = new QWidget(this);
  auto* grid = new QGridLayout(legend);
  grid->setContentsMargins(4, 0, 4, 0);
  grid->setHorizontalSpacing(12);
  constexpr int kColumns = 6;
  for (size_t s = 0; s < kSegments; ++s) {
    auto* swatch = new QLabel(legend);
    swatch->setFixedSize(12, 12);
    swatch->setStyleSheet(
        QStringLiteral("background-color: %1; border: 1px solid #555;").arg(SegmentColour(s).name()));
    auto* name = new QLabel(SegmentName(s), legend);
    auto* entry = new QHBoxLayout;
    entry->setSpacing(4);
    entry->addWidget(swatch);
    entry->addWidget(name);
    entry->addStretch();
    grid->addLayout(entry, static_cast<int>(s) / kColumns, static_cast<int>(s) % kColumns);
  }
  return legend;
}

void TPhaseChart::Show(const std::vector<TLoadRow>& rows) {
  FChart->removeAllSeries();
  auto* series = new QStackedBarSeries;
  series->setBarWidth(rows.size() > 200 ? 1.0 : 0.8);
  double maxMs = 0;
  for (size_t s = 0; s < kSegments; ++s) {
    QList<qreal> values;
    values.reserve(static_cast<qsizetype>(rows.size()));
    for (const TLoadRow& r : rows) {
      // A failed load is one block in its own colour: its phases are not comparable.
      if (s < kDetailPhaseCount)
        values.append(r.Failed() ? 0 : Ms(r.PhaseUs(s)));
      else if (s == kDetailPhaseCount)
        values.append(r.Failed() ? 0 : Ms(r.OtherUs()));
      else
        values.append(r.Failed() ? Ms(r.totalUs) : 0);
    }
    auto* set = new QBarSet(SegmentName(s));
    set->setColor(SegmentColour(s));
    set->setBorderColor(SegmentColour(s));
    set->append(values);
    series->append(set);
  }
  for (const TLoadRow& r : rows) maxMs = std::max(maxMs, Ms(r.totalUs));
  FChart->addSeries(series);
  series->attachAxis(FAxisX);
  series->attachAxis(FAxisY);
  FBars = static_cast<int>(rows.size());
  ScaleAxes(FBars, maxMs);
}

// Bars stand at 0 .. loads - 1; load k's label sits under bar k - 1, for load 1
// and every step-th load after the first.
void TPhaseChart::ScaleAxes(int loads, double maxMs) {
  for (const QString& label : FAxisX->categoriesLabels()) FAxisX->remove(label);
  FAxisX->setStartValue(-0.5);
  const int step = LabelStep(loads, kMaxXLabels);
  for (int load = 1; load <= loads; load += (load == 1 && step > 1 ? step - 1 : step))
    FAxisX->append(QString::number(load), load - 1);
  FAxisX->setRange(-0.5, std::max(loads, 1) - 0.5);

  const TNiceScale y = NiceScale(maxMs, kMaxYSteps);
  FAxisY->setRange(0, y.top);
  FAxisY->setTickCount(y.Ticks());
  FAxisY->setLabelFormat(QStringLiteral("%.") + QString::number(y.Decimals()) + QStringLiteral("f"));
}

}  // namespace app
