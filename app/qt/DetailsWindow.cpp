#include "app/qt/DetailsWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSaveFile>
#include <QSplitter>
#include <QVBoxLayout>
#include <QtCharts/QChartView>

namespace app {

namespace {

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

TDetailsWindow::TDetailsWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Tachyload details"));
  StatsLabel = new QLabel(this);
  StatsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Table = new QTableWidget(0, 0, this);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->verticalHeader()->setVisible(false);
  QStringList headers{QStringLiteral("Load"), QStringLiteral("Status"), QStringLiteral("Connection")};
  for (size_t p = 0; p < kDetailPhaseCount; ++p) headers << QString::fromLatin1(DetailPhaseName(p)) + " (ms)";
  headers << QStringLiteral("Total (ms)") << QStringLiteral("Bytes") << QStringLiteral("Speed");
  Table->setColumnCount(static_cast<int>(headers.size()));
  Table->setHorizontalHeaderLabels(headers);
  CreateChart();

  CopyButton = new QPushButton(QStringLiteral("&Copy"), this);
  SaveButton = new QPushButton(QStringLiteral("&Save CSV..."), this);
  SaveDialog = new QFileDialog(this, QStringLiteral("Save As"));
  SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog->setNameFilters({QStringLiteral("CSV file (*.csv)"), QStringLiteral("All Files (*)")});
  SaveDialog->setDefaultSuffix(QStringLiteral("csv"));
  SaveDialog->setOption(QFileDialog::DontUseNativeDialog, true);
  connect(SaveDialog, &QDialog::accepted, this, &TDetailsWindow::WriteCsv);
  connect(SaveButton, &QPushButton::clicked, SaveDialog, [this] { SaveDialog->open(); });
  connect(CopyButton, &QPushButton::clicked, this,
          [this] { QGuiApplication::clipboard()->setText(Latin1(DetailsCsv(FRows))); });

  auto* view = new QChartView(Chart, this);
  view->setRenderHint(QPainter::Antialiasing);
  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(view);
  split->addWidget(Table);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(CopyButton);
  buttons->addWidget(SaveButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(StatsLabel);
  layout->addWidget(split, 1);
  layout->addLayout(buttons);
  resize(760, 560);
  ShowStats();
}

void TDetailsWindow::CreateChart() {
  Chart = new QChart;
  Chart->setTitle(QStringLiteral("Time of each load by phase (ms)"));
  FSeries = new QStackedBarSeries(Chart);
  for (size_t p = 0; p <= kDetailPhaseCount; ++p) {
    auto* set = new QBarSet(p < kDetailPhaseCount ? QString::fromLatin1(DetailPhaseName(p)) : "other");
    FSets.push_back(set);
    FSeries->append(set);
  }
  Chart->addSeries(FSeries);
  FAxisX = new QBarCategoryAxis(Chart);
  FAxisY = new QValueAxis(Chart);
  FAxisY->setLabelFormat(QStringLiteral("%.1f"));
  Chart->addAxis(FAxisX, Qt::AlignBottom);
  Chart->addAxis(FAxisY, Qt::AlignLeft);
  FSeries->attachAxis(FAxisX);
  FSeries->attachAxis(FAxisY);
  Chart->legend()->setAlignment(Qt::AlignRight);
}

void TDetailsWindow::BeginRun(const QString& url) {
  FRows.clear();
  Table->setRowCount(0);
  for (QBarSet* set : FSets) set->remove(0, set->count());
  FAxisX->clear();
  FMaxMs = 0;
  FAxisY->setRange(0, 1);
  setWindowTitle(QStringLiteral("Tachyload details - ") + url);
  ShowStats();
}

void TDetailsWindow::AddLoad(const TLoadRow& row) {
  FRows.push_back(row);
  AddTableRow(row);
  AddBar(row);
  ShowStats();
}

int TDetailsWindow::BarCount() const {
  return FAxisX->count();
}

void TDetailsWindow::AddTableRow(const TLoadRow& row) {
  const int r = Table->rowCount();
  Table->insertRow(r);
  int c = 0;
  auto cell = [&](const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Table->setItem(r, c++, item);
  };
  cell(QString::number(row.load));
  cell(QString::number(row.status));
  cell(row.reused ? QStringLiteral("warm") : QStringLiteral("cold"));
  for (int64_t us : row.phaseUs) cell(Latin1(MsText(us)));
  cell(Latin1(MsText(row.totalUs)));
  cell(QString::number(row.bytes));
  const double bps =
      row.totalUs > 0 ? static_cast<double>(row.bytes) * 1e6 / static_cast<double>(row.totalUs) : 0;
  cell(Latin1(HumanSpeed(bps)));
  Table->scrollToBottom();
}

void TDetailsWindow::AddBar(const TLoadRow& row) {
  for (size_t p = 0; p < kDetailPhaseCount; ++p) FSets[p]->append(static_cast<double>(row.phaseUs[p]) / 1000);
  FSets[kDetailPhaseCount]->append(static_cast<double>(row.OtherUs()) / 1000);
  FAxisX->append(QString::number(row.load));
  FMaxMs = std::max(FMaxMs, static_cast<double>(row.totalUs) / 1000);
  FAxisY->setRange(0, FMaxMs > 0 ? FMaxMs * 1.1 : 1);
}

void TDetailsWindow::ShowStats() {
  QStringList lines;
  for (const std::string& l : StatsLines(ComputeDetailStats(FRows))) lines << Latin1(l);
  StatsLabel->setText(lines.join('\n'));
}

void TDetailsWindow::WriteCsv() {
  if (SaveDialog->selectedFiles().isEmpty()) return;
  const QString file = SaveDialog->selectedFiles().first();
  QSaveFile out(file);
  const std::string csv = DetailsCsv(FRows);
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()) ||
      !out.commit()) {
    if (ShowError) ShowError(QStringLiteral("Cannot create file \"%1\". %2").arg(file, out.errorString()));
  }
}

}  // namespace app
