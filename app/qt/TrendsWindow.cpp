#include "app/qt/TrendsWindow.h"

#include <QDateTime>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/HistoryRecord.h"
#include "app/qt/DetailsWindow.h"

namespace app {

namespace {

QLineSeries* NewSeries(const QString& name) {
  auto* s = new QLineSeries;
  s->setName(name);
  s->setPointsVisible(true);
  return s;
}

}  // namespace

TTrendsWindow::TTrendsWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Tachyload trends"));
  auto* layout = new QVBoxLayout(this);
  Title = new QLabel(this);
  Title->setTextFormat(Qt::PlainText);
  layout->addWidget(Title);
  auto* chart = new QChart;
  Median = NewSeries(QStringLiteral("median (ms)"));
  P95 = NewSeries(QStringLiteral("p95 (ms)"));
  chart->addSeries(Median);
  chart->addSeries(P95);
  FTime = new QDateTimeAxis;
  FTime->setFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
  FTime->setTitleText(QStringLiteral("run started"));
  FMs = new QValueAxis;
  FMs->setTitleText(QStringLiteral("load time (ms)"));
  FMs->setLabelFormat(QStringLiteral("%.1f"));
  chart->addAxis(FTime, Qt::AlignBottom);
  chart->addAxis(FMs, Qt::AlignLeft);
  for (QLineSeries* s : {Median, P95}) {
    s->attachAxis(FTime);
    s->attachAxis(FMs);
    connect(s, &QLineSeries::clicked, this, [this](const QPointF& p) { OpenRunAt(p.x()); });
  }
  chart->legend()->setAlignment(Qt::AlignTop);
  View = new QChartView(chart, this);
  View->setRenderHint(QPainter::Antialiasing);
  layout->addWidget(View, 1);
  resize(720, 420);
}

// Details shows FShown by reference: it goes before FShown does.
TTrendsWindow::~TTrendsWindow() {
  delete RunDetails;
}

void TTrendsWindow::Show(const std::string& url, std::vector<store::TRunRow> runs) {
  FRuns = std::move(runs);
  FPoints = TrendPoints(FRuns);
  QList<QPointF> median, p95;
  for (const TTrendPoint& p : FPoints) {
    median.append(QPointF(static_cast<double>(p.unixMs), p.medianMs));
    p95.append(QPointF(static_cast<double>(p.unixMs), p.p95Ms));
  }
  Median->replace(median);
  P95->replace(p95);
  Title->setText(QString::fromStdString(url) + QStringLiteral(": ") + QString::number(FPoints.size()) +
                 (FPoints.size() == 1 ? QStringLiteral(" run") : QStringLiteral(" runs")) +
                 QStringLiteral(" recorded"));
  ScaleAxes();
}

// A single run, or runs within one minute, still get a readable span of time;
// the load axis starts at 0 so a change is seen at its true size.
void TTrendsWindow::ScaleAxes() {
  if (FPoints.empty()) {
    const QDateTime now = QDateTime::currentDateTime();
    FTime->setRange(now.addDays(-1), now);
    FMs->setRange(0, 1);
    return;
  }
  auto [first, last] =
      std::minmax_element(FPoints.begin(), FPoints.end(),
                          [](const TTrendPoint& a, const TTrendPoint& b) { return a.unixMs < b.unixMs; });
  int64_t from = first->unixMs, to = last->unixMs;
  const int64_t margin = std::max<int64_t>((to - from) / 20, 30000);
  FTime->setRange(QDateTime::fromMSecsSinceEpoch(from - margin), QDateTime::fromMSecsSinceEpoch(to + margin));
  FTime->setTickCount(std::clamp<int>(static_cast<int>(FPoints.size()) + 1, 3, 6));
  // Whole days say enough over a span of days, and fit under their ticks.
  constexpr int64_t kTwoDaysMs = 2 * 86400000LL;
  FTime->setFormat(to - from >= kTwoDaysMs ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("MM-dd HH:mm"));
  double top = 0;
  for (const TTrendPoint& p : FPoints) top = std::max({top, p.medianMs, p.p95Ms});
  FMs->setRange(0, top > 0 ? top * 1.15 : 1);
  FMs->applyNiceNumbers();
}

void TTrendsWindow::OpenRunAt(double x) {
  if (FPoints.empty()) return;
  const auto nearest =
      std::min_element(FPoints.begin(), FPoints.end(), [x](const TTrendPoint& a, const TTrendPoint& b) {
        return std::abs(static_cast<double>(a.unixMs) - x) < std::abs(static_cast<double>(b.unixMs) - x);
      });
  FillDetails(FShown, FRuns[nearest->run]);
  if (RunDetails == nullptr) RunDetails = new TDetailsWindow(nullptr, FShown);
  RunDetails->setWindowTitle(QStringLiteral("Tachyload details: run of ") +
                             QString::fromStdString(LocalMinute(FRuns[nearest->run].startedAt)));
  RunDetails->Refresh();
  RunDetails->show();
  RunDetails->raise();
}

}  // namespace app
