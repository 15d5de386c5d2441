// The details window: what every load of the run did. A table of the loads
// (status, cold or warm, each phase, bytes, speed), the statistics of the run,
// and a stacked bar per load showing where its time went. It fills while the
// run goes on, keeps the last run until the next one starts, and copies or saves
// the table as CSV.
//
// Not modal: it stays open beside the main window, which owns it and feeds it.
#pragma once

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QStackedBarSeries>
#include <QtCharts/QValueAxis>
#include <functional>
#include <vector>

#include "app/LoadDetails.h"

namespace app {

class TDetailsWindow : public QWidget {
  Q_OBJECT

 public:
  explicit TDetailsWindow(QWidget* parent);
  void BeginRun(const QString& url);
  void AddLoad(const TLoadRow& row);
  const std::vector<TLoadRow>& Rows() const { return FRows; }
  // Bars in the chart: one per load.
  int BarCount() const;

  QLabel* StatsLabel;
  QTableWidget* Table;
  QChart* Chart;
  QPushButton *CopyButton, *SaveButton;
  QFileDialog* SaveDialog;
  // Where a failed save is reported (the main window's error box).
  std::function<void(const QString& text)> ShowError;

 private:
  void CreateChart();
  void AddTableRow(const TLoadRow& row);
  void AddBar(const TLoadRow& row);
  void ShowStats();
  void WriteCsv();

  std::vector<TLoadRow> FRows;
  QStackedBarSeries* FSeries = nullptr;
  std::vector<QBarSet*> FSets;  // one per phase, then what the phases leave
  QBarCategoryAxis* FAxisX = nullptr;
  QValueAxis* FAxisY = nullptr;
  double FMaxMs = 0;
};

}  // namespace app
