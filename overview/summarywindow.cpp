#include "overview/summarywindow.h"
#include "ui_summarywindow.h"

#include "overview/csvwriter.h"
#include "overview/metertablemodel.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QSortFilterProxyModel>

SummaryWindow::SummaryWindow(const MeterBoard *board, const MeterWatch *watch, QWidget *parent)
    : QWidget(parent), ui(new Ui::SummaryWindow), m_model(new MeterTableModel(board, watch, this)),
      m_proxy(new QSortFilterProxyModel(this))
{
    ui->setupUi(this);
    setWindowFlag(Qt::Window);

    m_proxy->setSourceModel(m_model);
    m_proxy->setSortRole(MeterTableModel::kSortRole);
    m_proxy->setFilterRole(MeterTableModel::kFilterRole);
    m_proxy->setFilterKeyColumn(MeterTableModel::Name);
    m_proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    ui->tableSummary->setModel(m_proxy);

    // File order until the user picks a column.
    QHeaderView *header = ui->tableSummary->horizontalHeader();
    header->setSortIndicator(-1, Qt::AscendingOrder);
    ui->tableSummary->setSortingEnabled(true);
    header->setSectionsMovable(true);
    header->setHighlightSections(false);
    // Widths from the header texts and the characters each column's values need: measuring ten
    // thousand rows to fit them would cost more than opening the window.
    const QFontMetrics metrics = ui->tableSummary->fontMetrics();
    const int digit = metrics.horizontalAdvance(QLatin1Char('0'));
    const int valueDigits[MeterTableModel::ColumnCount] = {22, 18, 26, 19, 9, 10, 6, 12, 12, 12, 4, 3, 24};
    for (int column = 0; column < MeterTableModel::ColumnCount; ++column) {
        const int headerWidth = metrics.horizontalAdvance(m_model->headerData(column, Qt::Horizontal).toString());
        header->resizeSection(column, qMax(headerWidth, valueDigits[column] * digit) + 3 * digit);
    }
    QHeaderView *rows = ui->tableSummary->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(metrics.height() + 6);

    connect(ui->leFilter, &QLineEdit::textChanged, m_proxy, &QSortFilterProxyModel::setFilterFixedString);
    connect(ui->tableSummary, &QAbstractItemView::activated, this, [this](const QModelIndex &index) {
        if (index.isValid())
            emit deviceActivated(m_proxy->mapToSource(index).row());
    });
    connect(ui->tableSummary, &QWidget::customContextMenuRequested, this, &SummaryWindow::showRowMenu);
    connect(ui->pushButtonExport, &QPushButton::clicked, this, &SummaryWindow::askExportFile);
    // A window of its own, not a dialog, so Esc would do nothing without this.
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this, &QWidget::close);
}

SummaryWindow::~SummaryWindow()
{
    delete ui;
}

bool SummaryWindow::exportCsv(const QString &fileName)
{
    QString error;
    if (CsvWriter::writeTable(fileName, *m_proxy, MeterTableModel::kExportRole, MeterTableModel::Received, &error))
        return true;
    QMessageBox::warning(this, tr("Экспорт в CSV"),
                         tr("Не удалось записать файл %1:\n%2").arg(QDir::toNativeSeparators(fileName), error));
    return false;
}

void SummaryWindow::addRowAction(QAction *action)
{
    m_rowActions.append(action);
}

int SummaryWindow::currentDeviceIndex() const
{
    const QModelIndex current = ui->tableSummary->currentIndex();
    return current.isValid() ? m_proxy->mapToSource(current).row() : -1;
}

void SummaryWindow::askExportFile()
{
    // Dated, so that a second export does not offer to overwrite the first.
    const QString name = tr("Сводка по счётчикам %1.csv")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss")));
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Экспорт в CSV"), QDir::current().filePath(name),
                                                          tr("Файлы CSV (*.csv)"));
    if (!fileName.isEmpty())
        exportCsv(fileName);
}

void SummaryWindow::showRowMenu(const QPoint &position)
{
    const QModelIndex index = ui->tableSummary->indexAt(position);
    if (m_rowActions.isEmpty() || !index.isValid())
        return;
    ui->tableSummary->setCurrentIndex(index);
    QMenu::exec(m_rowActions, ui->tableSummary->viewport()->mapToGlobal(position), nullptr, this);
}
