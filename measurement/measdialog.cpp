#include "measurement/measdialog.h"
#include "ui_measdialog.h"

#include <QAccessible>
#include <QLabel>
#include <QTimer>

namespace {

// Qt makes an accessibility object for every label whose text was ever set, and keeps it as long
// as the label lives, whether any assistive technology runs or not: some 700 bytes a label, a
// hundred megabytes for ten thousand panels, and a cache that takes seconds to empty when they
// go. Without assistive technology those of a hidden panel are dropped once made; Qt makes one
// again whenever it is asked for.
void dropAccessibleObjects(const QList<QLabel *> &labels)
{
    if (QAccessible::isActive())
        return;
    for (QLabel *label : labels) {
        if (QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(label))
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(accessible));
    }
}

} // namespace

MeasDialog::MeasDialog(QWidget *parent) : QDialog(parent), ui(new Ui::MeasDialog), m_offlineTimer(new QTimer(this))
{
    ui->setupUi(this);
    ui->label_dev_mode->setText(tr("не в сети"));
    dropAccessibleObjects({ui->label_txt_dev_type, ui->label_txt_dev_mode, ui->label_txt_num_starts,
                           ui->label_txt_t_last, ui->label_txt_t_common_2, ui->label_txt_t_common,
                           ui->label_txt_voltage, ui->label_txt_freq, ui->label_dev_mode});

    m_offlineTimer->setObjectName(QStringLiteral("offlineTimer"));
    connect(m_offlineTimer, &QTimer::timeout, this, &MeasDialog::slotTimerAlarm);
}

MeasDialog::MeasDialog(MeterBoard *board, int index, QWidget *parent)
    : QDialog(parent), ui(new Ui::MeasDialog), m_board(board), m_index(index)
{
    ui->setupUi(this);
    ui->label_dev_mode->setText(tr("не в сети"));
    dropAccessibleObjects({ui->label_txt_dev_type, ui->label_txt_dev_mode, ui->label_txt_num_starts,
                           ui->label_txt_t_last, ui->label_txt_t_common_2, ui->label_txt_t_common,
                           ui->label_txt_voltage, ui->label_txt_freq, ui->label_dev_mode});
    m_board->setView(m_index, this);
}

MeasDialog::~MeasDialog()
{
    if (m_board)
        m_board->detachView(m_index, this);
    delete ui;
}

void MeasDialog::setOfflineInterval(int ms)
{
    if (m_board)
        m_board->setMeterOfflineInterval(m_index, ms);
    else
        m_offlineIntervalMs = ms > 0 ? ms : kOfflineIntervalMs;
}

int MeasDialog::offlineInterval() const
{
    return m_board ? m_board->meterOfflineInterval(m_index) : m_offlineIntervalMs;
}

void MeasDialog::ShowPayload(const QString &payload)
{
    const std::optional<Reading> reading = ParsePayload(payload);
    if (!reading)
        return;
    if (m_board) {
        m_board->record(m_index, *reading);
        return;
    }

    // Meters repeat the same values most of the time; formatting and relabelling them again would
    // cost more than the parse itself.
    if (reading != m_shown) {
        showReading(*reading);
        m_shown = reading;
    }
    m_offlineTimer->start(m_offlineIntervalMs);
}

void MeasDialog::showMeter(const MeterState &meter)
{
    if (!meter.reading)
        return;
    if (meter.reading != m_shown) {
        showReading(*meter.reading);
        m_shown = meter.reading;
    }
    // A retained reading is old data, so its mode says nothing of the meter now.
    if (!meter.online || meter.retained)
        showOffline();
}

void MeasDialog::showEvent(QShowEvent *event)
{
    m_onScreen = true;
    // What a hidden panel relabelled, assistive technology hears now that it can be seen.
    if (m_namesBehind) {
        m_namesBehind = false;
        for (QLabel *label : {ui->label_dev_type, ui->label_dev_mode, ui->label_num_starts, ui->label_t_last,
                              ui->label_t_current, ui->label_t_common, ui->label_voltage, ui->label_freq}) {
            if (label->accessibleName() != label->text())
                label->setAccessibleName(label->text());
        }
    }
    QDialog::showEvent(event);
    // A hidden panel may lag its meter by a moment; shown, it is told of every reading.
    if (m_board)
        m_board->setViewShown(m_index, true);
}

void MeasDialog::hideEvent(QHideEvent *event)
{
    m_onScreen = false;
    if (m_board)
        m_board->setViewShown(m_index, false);
    QDialog::hideEvent(event);
}

void MeasDialog::showReading(const Reading &reading)
{
    // Only the values that moved since the reading on show: a running meter mostly advances its
    // times alone, and relabelling costs far more than comparing. With nothing on show (a new
    // panel, or after the offline mark) every label is set.
    const Reading *before = m_shown ? &*m_shown : nullptr;
    const auto moved = [before, &reading](int Reading::*field) { return !before || before->*field != reading.*field; };
    if (moved(&Reading::devType))
        setValueText(ui->label_dev_type, ModelName(reading.devType));
    if (moved(&Reading::devMode))
        setValueText(ui->label_dev_mode, ModeName(reading.devMode));
    if (moved(&Reading::tLast))
        setValueText(ui->label_t_last, FormatDuration(reading.tLast));
    if (moved(&Reading::tCommon))
        setValueText(ui->label_t_common, FormatDuration(reading.tCommon));
    if (moved(&Reading::tCurrent))
        setValueText(ui->label_t_current, FormatDuration(reading.tCurrent));
    if (moved(&Reading::numStarts))
        setValueText(ui->label_num_starts, QString::number(reading.numStarts, 10));
    if (moved(&Reading::voltage))
        setValueText(ui->label_voltage, QString::number(reading.voltage, 10));
    if (moved(&Reading::freq))
        setValueText(ui->label_freq, QString::number(reading.freq, 10));
    if (!before && !m_named) {
        m_named = true;
        if (!m_onScreen)
            dropAccessibleObjects({ui->label_dev_type, ui->label_dev_mode, ui->label_num_starts, ui->label_t_last,
                                   ui->label_t_current, ui->label_t_common, ui->label_voltage, ui->label_freq});
    }
}

void MeasDialog::showOffline()
{
    setValueText(ui->label_dev_mode, tr("не в сети"));
    m_shown.reset();
}

void MeasDialog::setValueText(QLabel *label, const QString &text)
{
    // A label without an accessible name of its own announces every new text to assistive
    // technology, and the announcement looks the label up among every accessible object of the
    // program, running or not: with ten thousand panels that cost more than the rest of the
    // relabelling. So a value label carries its text as its accessible name too. On screen both
    // change together, which announces the text once, as before; hidden, only the text changes,
    // silently, and showEvent() brings the names up to date. The first reading names every
    // label, on screen or not.
    if (m_onScreen || !m_named)
        label->setAccessibleName(text);
    else
        m_namesBehind = true;
    label->setText(text);
}

void MeasDialog::slotTimerAlarm()
{
    // Bound, the mark is the board's to set, so that the tab and the table see it too.
    if (m_board) {
        m_board->markOffline(m_index);
        return;
    }
    showOffline();
    m_offlineTimer->stop();
}
