#include "app/qt/DetailsWindow.h"

#include <QAbstractTableModel>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/ConnectText.h"

namespace app {

namespace {

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// The columns a person looks at first come first, so they show without
// scrolling sideways; the phases follow.
enum TColumn {
  colLoad,
  colStatus,
  colConnection,
  colTotal,
  colBytes,
  colSpeed,
  colProtocol,
  colAddress,
  colFamily,
  colFirstPhase
};
constexpr int kColumnCount = colFirstPhase + static_cast<int>(kDetailPhaseCount);

}  // namespace

// The rows of the run as a table model: the view asks for what it shows, so
// appending a load costs one row insertion however long the run is.
class TLoadTableModel : public QAbstractTableModel {
 public:
  explicit TLoadTableModel(const TRunDetails& run, QObject* parent)
      : QAbstractTableModel(parent), FRun(run) {}

  // Brings the model to the run's rows: appended rows are inserted, a new run resets.
  void Sync(bool newRun) {
    if (newRun || FRun.rows.size() < FCount) {
      beginResetModel();
      FCount = FRun.rows.size();
      endResetModel();
    } else if (FRun.rows.size() > FCount) {
      beginInsertRows(QModelIndex(), static_cast<int>(FCount), static_cast<int>(FRun.rows.size()) - 1);
      FCount = FRun.rows.size();
      endInsertRows();
    } else if (FCount > 0) {
      // The last row can change after it was added (a failure's reason).
      emit dataChanged(index(static_cast<int>(FCount) - 1, 0),
                       index(static_cast<int>(FCount) - 1, kColumnCount - 1));
    }
  }
  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(FCount);
  }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : kColumnCount; }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kFixed[] = {"Load",  "Status",   "Connection", "Total (ms)", "Bytes",
                                         "Speed", "Protocol", "Address",    "Family"};
    if (section < colFirstPhase) return QString::fromLatin1(kFixed[section]);
    return QString::fromLatin1(DetailPhaseName(static_cast<size_t>(section - colFirstPhase))) + " (ms)";
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= FCount) return {};
    const TLoadRow& row = FRun.rows[static_cast<size_t>(index.row())];
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ForegroundRole && row.Failed()) return QColor(0xB0, 0, 0);
    if (role == Qt::ToolTipRole && row.Failed()) return Latin1(row.error);
    if (role == Qt::ToolTipRole && (index.column() == colAddress || index.column() == colFamily))
      return AttemptsTip(row);
    if (role != Qt::DisplayRole) return {};
    return Cell(row, index.column());
  }

 private:
  static QString Cell(const TLoadRow& row, int column) {
    switch (column) {
      case colLoad:
        return QString::number(row.load);
      case colStatus:
        return row.Failed() ? (row.Status() > 0 ? QString::number(row.Status()) + " failed" : "failed")
                            : QString::number(row.Status());
      case colConnection:
        return row.Reused() ? QStringLiteral("warm") : QStringLiteral("cold");
      case colTotal:
        return Latin1(MsText(row.totalUs));
      case colBytes:
        return QString::number(row.Bytes());
      case colSpeed:
        return row.totalUs > 0 && !row.Failed() ? Latin1(HumanSpeed(static_cast<double>(row.Bytes()) * 1e6 /
                                                                    static_cast<double>(row.totalUs)))
                                                : QString();
      case colProtocol:
        return QString::fromLatin1(row.times.protocol);
      case colAddress:
        return Latin1(row.times.ip);
      case colFamily:
        return QString::fromLatin1(FamilyLabel(row.times.family));
      default:
        return Latin1(MsText(row.PhaseUs(static_cast<size_t>(column - colFirstPhase))));
    }
  }

  // The attempts that made the load's connection; a kept connection made none.
  static QVariant AttemptsTip(const TLoadRow& row) {
    QStringList lines;
    for (const std::string& l : AttemptLines(row.times.connectAttempts)) lines << Latin1(l);
    if (lines.isEmpty()) return {};
    return lines.join('\n');
  }

  const TRunDetails& FRun;
  size_t FCount = 0;
};

TDetailsWindow::TDetailsWindow(QWidget* parent, const TRunDetails& run)
    : QWidget(parent, Qt::Window),
      SaveDialog(this, {QStringLiteral("CSV file (*.csv)"), QStringLiteral("All Files (*)")},
                 QStringLiteral("csv"), QStringLiteral("details")),
      FRun(run) {
  setWindowTitle(QStringLiteral("Tachyload details"));
  StatsLabel = new QLabel(this);
  StatsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FModel = new TLoadTableModel(run, this);
  Table = new QTableView(this);
  Table->setModel(FModel);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->verticalHeader()->setVisible(false);
  Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
  // Fixed widths from the headers: sizing to contents would read every row.
  for (int c = 0; c < kColumnCount; ++c) {
    const QString header = FModel->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    const char* sample = c == colSpeed ? "999 MB/s" : c == colAddress ? "2001:db8::1234" : "99999.999";
    const int sampleWidth = Table->fontMetrics().horizontalAdvance(sample);
    Table->setColumnWidth(c, std::max(Table->fontMetrics().horizontalAdvance(header), sampleWidth) + 16);
  }
  Chart = new TPhaseChart(this);

  CopyButton = new QPushButton(QStringLiteral("&Copy"), this);
  SaveButton = new QPushButton(QStringLiteral("&Save CSV..."), this);
  connect(SaveButton, &QPushButton::clicked, this,
          [this] { SaveDialog.Open([this](const QString& file) { WriteCsv(file); }); });
  connect(CopyButton, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(Csv()); });

  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(Chart);
  split->addWidget(Table);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(CopyButton);
  buttons->addWidget(SaveButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(StatsLabel);
  layout->addWidget(split, 1);
  layout->addLayout(buttons);
  resize(900, 640);
  Refresh();
}

TDetailsWindow::~TDetailsWindow() = default;

void TDetailsWindow::Refresh() {
  const bool newRun = FShownRun != FRun.run;
  FModel->Sync(newRun);
  FShownRun = FRun.run;
  setWindowTitle(FRun.url.empty() ? QStringLiteral("Tachyload details")
                                  : QStringLiteral("Tachyload details - ") + Latin1(FRun.url));
  Chart->Show(FRun.rows);
  ShowStats();
  if (!FRun.rows.empty()) Table->scrollToBottom();
  ++FRefreshes;
}

QString TDetailsWindow::Csv() const {
  return Latin1(DetailsCsv(FRun.url, FRun.rows));
}

void TDetailsWindow::ShowStats() {
  QStringList lines;
  for (const std::string& l : StatsLines(ComputeDetailStats(FRun.rows))) lines << Latin1(l);
  StatsLabel->setText(lines.join('\n'));
}

void TDetailsWindow::WriteCsv(const QString& file) {
  const QString error = SaveBytes(file, DetailsCsv(FRun.url, FRun.rows));
  if (!error.isEmpty() && ShowError) ShowError(error);
}

}  // namespace app
