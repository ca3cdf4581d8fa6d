#include "watch/eventlogwindow.h"
#include "ui_eventlogwindow.h"

#include "config/deviceentry.h"
#include "measurement/meterboard.h"
#include "overview/csvwriter.h"
#include "watch/eventtablemodel.h"

#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QShortcut>
#include <QSortFilterProxyModel>

namespace {

// The rows of one meter (by topic) and of one group of kinds; an invalid value lets all through.
class EventFilter final : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setFilter(const QVariant &topic, const QVariant &group)
    {
        m_topic = topic;
        m_group = group;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override
    {
        const QModelIndex index = sourceModel()->index(row, 0, parent);
        return (!m_topic.isValid() || index.data(EventTableModel::kTopicRole) == m_topic) &&
               (!m_group.isValid() || index.data(EventTableModel::kGroupRole) == m_group);
    }

private:
    QVariant m_topic;
    QVariant m_group;
};

} // namespace

EventLogWindow::EventLogWindow(const EventLog *log, const MeterBoard *board, QWidget *parent)
    : QWidget(parent), ui(new Ui::EventLogWindow), m_model(new EventTableModel(log, this)),
      m_proxy(new EventFilter(this))
{
    ui->setupUi(this);
    setWindowFlag(Qt::Window);
    m_proxy->setSourceModel(m_model);
    ui->tableEvents->setModel(m_proxy);

    const QFontMetrics metrics = ui->tableEvents->fontMetrics();
    QHeaderView *header = ui->tableEvents->horizontalHeader();
    header->resizeSection(EventTableModel::Time,
                          metrics.horizontalAdvance(QStringLiteral("00.00.0000 00:00:00 ")) * 11 / 10);
    header->resizeSection(EventTableModel::Meter, metrics.horizontalAdvance(QLatin1Char('0')) * 24);
    QHeaderView *rows = ui->tableEvents->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(metrics.height() + 6);

    fillMeters(board);
    ui->comboKind->addItem(tr("Все события"));
    for (int group = 0; group < kEventGroupCount; ++group)
        ui->comboKind->addItem(eventGroupText(EventGroup(group)), group);
    const auto applyFilter = [this] {
        static_cast<EventFilter *>(m_proxy)->setFilter(ui->comboMeter->currentData(), ui->comboKind->currentData());
    };
    connect(ui->comboMeter, QOverload<int>::of(&QComboBox::currentIndexChanged), this, applyFilter);
    connect(ui->comboKind, QOverload<int>::of(&QComboBox::currentIndexChanged), this, applyFilter);

    connect(ui->tableEvents, &QAbstractItemView::activated, this, [this](const QModelIndex &index) {
        const QString topic = index.data(EventTableModel::kTopicRole).toString();
        if (!topic.isEmpty())
            emit meterActivated(topic);
    });
    connect(ui->pushButtonExport, &QPushButton::clicked, this, &EventLogWindow::askExportFile);
    // A window of its own, not a dialog, so Esc would do nothing without this.
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this, &QWidget::close);
}

EventLogWindow::~EventLogWindow()
{
    delete ui;
}

void EventLogWindow::fillMeters(const MeterBoard *board)
{
    ui->comboMeter->addItem(tr("Все счётчики"));
    QStringList topics;
    for (const DeviceEntry &device : board->devices()) {
        if (topics.contains(device.topic))
            continue;
        topics << device.topic;
        ui->comboMeter->addItem(shownDeviceName(device.name), device.topic);
    }
    // The broker's events have no topic: an empty one stands for them.
    ui->comboMeter->addItem(tr("брокер MQTT"), QString(QLatin1String("")));
}

bool EventLogWindow::exportCsv(const QString &fileName)
{
    QString error;
    if (CsvWriter::writeTable(fileName, *m_proxy, EventTableModel::kExportRole, EventTableModel::Time, &error))
        return true;
    QMessageBox::warning(this, tr("Экспорт в CSV"),
                         tr("Не удалось записать файл %1:\n%2").arg(QDir::toNativeSeparators(fileName), error));
    return false;
}

void EventLogWindow::askExportFile()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Экспорт в CSV"), QDir::current().filePath(tr("Журнал событий.csv")), tr("Файлы CSV (*.csv)"));
    if (!fileName.isEmpty())
        exportCsv(fileName);
}
