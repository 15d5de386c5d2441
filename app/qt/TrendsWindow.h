// The Trends window: the median and p95 load time of each recorded run of the
// current URL, over time (dates on the x-axis). A click on a run's point opens
// that run's Details, filled from the history database.
//
// The main window makes it when Trends is first pressed and calls Show() with
// the runs it read, at the press and after each run, never while a load runs.
// Not modal.
#pragma once

#include <QLabel>
#include <QWidget>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <string>
#include <vector>

#include "app/HistoryTrend.h"
#include "app/LoadDetails.h"

namespace app {

class TDetailsWindow;

class TTrendsWindow : public QWidget {
  Q_OBJECT

 public:
  explicit TTrendsWindow(QWidget* parent);
  ~TTrendsWindow() override;
  // Shows runs (oldest first) of url.
  void Show(const std::string& url, std::vector<store::TRunRow> runs);
  // Opens the Details of the run whose point lies nearest to the time x (ms
  // since the epoch), as a click on a point does.
  void OpenRunAt(double x);
  const std::vector<TTrendPoint>& Points() const { return FPoints; }

  QLabel* Title;
  QChartView* View;
  QLineSeries *Median, *P95;
  // The Details of the run last opened from a point; nullptr until then.
  TDetailsWindow* RunDetails = nullptr;

 private:
  void ScaleAxes();

  QDateTimeAxis* FTime;
  QValueAxis* FMs;
  std::vector<store::TRunRow> FRuns;
  std::vector<TTrendPoint> FPoints;
  TRunDetails FShown;  // the run RunDetails shows
};

}  // namespace app
