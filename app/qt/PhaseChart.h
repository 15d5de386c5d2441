// The details' chart: one stacked bar per load, a segment per phase, with a
// legend above it that always shows every phase, y ticks at round milliseconds
// and load numbers thinned so they never crowd.
//
// Show() rebuilds the bars from the rows it is given; the details window calls
// it between loads (at most every 250 ms) and when the run ends, never while a
// load runs.
#pragma once

#include <QWidget>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <vector>

#include "app/LoadDetails.h"

namespace app {

class TPhaseChart : public QWidget {
  Q_OBJECT

 public:
  explicit TPhaseChart(QWidget* parent);
  void Show(const std::vector<TLoadRow>& rows);
  int BarCount() const { return FBars; }
  QChart* Chart() const { return FChart; }
  QChartView* View() const { return FView; }
  // The segment colours: the phases in order, then "other", then failed loads.
  static QColor SegmentColour(size_t segment);
  static QString SegmentName(size_t segment);
  static constexpr size_t kSegments = kDetailPhaseCount + 2;

 private:
  QWidget* MakeLegend();
  void ScaleAxes(int loads, double maxMs);

  QChart* FChart;
  QChartView* FView;
  QCategoryAxis* FAxisX;
  QValueAxis* FAxisY;
  int FBars = 0;
};

}  // namespace app
