// The details window: what every load of the last run did. A table of the loads
// (status, cold or warm, total, bytes, speed, then each phase), the statistics
// of the loads that got their page, and a stacked bar per load showing where its
// time went (TPhaseChart); Copy and Save CSV write the command line's CSV.
//
// It shows the main window's TRunDetails and does nothing by itself: the main
// window makes it when Details is first pressed and calls Refresh() between
// loads and at the end of a run, never while a load runs, so no table, chart or
// statistics work lands in a measured time. Not modal.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QWidget>
#include <functional>

#include "app/LoadDetails.h"
#include "app/qt/PhaseChart.h"
#include "app/qt/SaveDialog.h"

namespace app {

class TLoadTableModel;

class TDetailsWindow : public QWidget {
  Q_OBJECT

 public:
  TDetailsWindow(QWidget* parent, const TRunDetails& run);
  ~TDetailsWindow() override;
  // Shows what the run holds now: its new rows, the statistics and the chart.
  void Refresh();
  const std::vector<TLoadRow>& Rows() const { return FRun.rows; }
  int BarCount() const { return Chart->BarCount(); }
  // Times Refresh changed what is shown (tests count them).
  int Refreshes() const { return FRefreshes; }
  QString Csv() const;

  QLabel* StatsLabel;
  QTableView* Table;
  TPhaseChart* Chart;
  QPushButton *CopyButton, *SaveButton;
  TSaveDialog SaveDialog;
  // Where a failed save is reported (the main window's error box).
  std::function<void(const QString& text)> ShowError;

 private:
  void ShowStats();
  void WriteCsv(const QString& file);

  const TRunDetails& FRun;
  TLoadTableModel* FModel;
  uint64_t FShownRun = 0;
  int FRefreshes = 0;
};

}  // namespace app
