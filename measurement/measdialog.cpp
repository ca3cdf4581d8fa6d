#include "measurement/measdialog.h"
#include "ui_measdialog.h"

#include <QTimer>

namespace {
int nextOfflineIntervalMs = MeasDialog::kOfflineIntervalMs;
}

MeasDialog::MeasDialog(QWidget *parent)
    : QDialog(parent), ui(new Ui::MeasDialog), timer(new QTimer(this)), offlineIntervalMs(nextOfflineIntervalMs)
{
    ui->setupUi(this);
    ui->label_dev_mode->setText(tr("не в сети"));

    timer->setObjectName(QStringLiteral("offlineTimer"));
    connect(timer, &QTimer::timeout, this, &MeasDialog::slotTimerAlarm);
}

MeasDialog::~MeasDialog()
{
    delete ui;
}

void MeasDialog::setOfflineIntervalForTesting(int ms)
{
    nextOfflineIntervalMs = ms > 0 ? ms : kOfflineIntervalMs;
}

void MeasDialog::ShowPayload(const QString &payload)
{
    const std::optional<Reading> reading = ParsePayload(payload);
    if (!reading)
        return;

    // Meters repeat the same values most of the time; formatting and relabelling them again would
    // cost more than the parse itself.
    if (reading != shown) {
        showReading(*reading);
        shown = reading;
    }
    timer->start(offlineIntervalMs);
}

void MeasDialog::showReading(const Reading &reading)
{
    ui->label_dev_type->setText(ModelName(reading.devType));
    ui->label_dev_mode->setText(ModeName(reading.devMode));
    ui->label_t_last->setText(FormatDuration(reading.tLast));
    ui->label_t_common->setText(FormatDuration(reading.tCommon));
    ui->label_t_current->setText(FormatDuration(reading.tCurrent));
    ui->label_num_starts->setText(QString::number(reading.numStarts, 10));
    ui->label_voltage->setText(QString::number(reading.voltage, 10));
    ui->label_freq->setText(QString::number(reading.freq, 10));
}

void MeasDialog::slotTimerAlarm()
{
    ui->label_dev_mode->setText(tr("не в сети"));
    timer->stop();
    shown.reset();
}
