#include "watch/maintenancedialog.h"
#include "ui_maintenancedialog.h"

#include "config/deviceentry.h"
#include "measurement/meterboard.h"
#include "watch/maintenance.h"

#include <QMessageBox>

namespace {

// A spin box at its minimum shows its special text: nothing set.
std::optional<int> valueOf(const QSpinBox *box)
{
    return box->value() == box->minimum() ? std::nullopt : std::optional<int>(box->value());
}

void showValue(QSpinBox *box, const std::optional<int> &value)
{
    box->setValue(value.value_or(box->minimum()));
}

} // namespace

MaintenanceDialog::MaintenanceDialog(const MeterBoard *board, int index, QWidget *parent)
    : QDialog(parent), ui(new Ui::MaintenanceDialog), m_board(board), m_index(index), m_topic(board->meter(index).topic)
{
    ui->setupUi(this);
    setWindowTitle(tr("Обслуживание — %1").arg(shownDeviceName(board->meter(index).name)));
    showPlan(SettingsFile().readMaintenancePlan(m_topic));

    connect(ui->sbMarkHours, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this](double hours) {
        if (!m_showing)
            m_markSeconds = qRound64(hours * 3600);
    });
    for (QSpinBox *box : {ui->sbIntervalHours, ui->sbIntervalStarts, ui->sbMarkStarts})
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this, &MaintenanceDialog::showStatus);
    connect(ui->sbMarkHours, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MaintenanceDialog::showStatus);
    connect(ui->deMarkDate, &QDateEdit::dateChanged, this, &MaintenanceDialog::showStatus);
    connect(ui->pushButtonMark, &QPushButton::clicked, this, &MaintenanceDialog::markService);
    connect(ui->pushButtonSave, &QPushButton::clicked, this, [this] {
        if (savePlan())
            close();
    });
    connect(ui->pushButtonCancel, &QPushButton::clicked, this, &QDialog::close);
    showStatus();
}

MaintenanceDialog::~MaintenanceDialog()
{
    delete ui;
}

void MaintenanceDialog::showPlan(const MaintenancePlan &plan)
{
    m_showing = true;
    showValue(ui->sbIntervalHours, plan.intervalHours);
    showValue(ui->sbIntervalStarts, plan.intervalStarts);
    showValue(ui->sbVoltageMin, plan.limits.voltageMin);
    showValue(ui->sbVoltageMax, plan.limits.voltageMax);
    showValue(ui->sbFrequencyMin, plan.limits.frequencyMin);
    showValue(ui->sbFrequencyMax, plan.limits.frequencyMax);
    ui->deMarkDate->setDate(plan.markDate.isValid() ? plan.markDate : ui->deMarkDate->minimumDate());
    m_markSeconds = plan.markSeconds;
    ui->sbMarkHours->setValue(double(plan.markSeconds) / 3600);
    ui->sbMarkStarts->setValue(int(qBound<qint64>(0, plan.markStarts, ui->sbMarkStarts->maximum())));
    m_showing = false;
}

MaintenancePlan MaintenanceDialog::shownPlan() const
{
    MaintenancePlan plan;
    plan.topic = m_topic;
    plan.intervalHours = valueOf(ui->sbIntervalHours);
    plan.intervalStarts = valueOf(ui->sbIntervalStarts);
    plan.limits.voltageMin = valueOf(ui->sbVoltageMin);
    plan.limits.voltageMax = valueOf(ui->sbVoltageMax);
    plan.limits.frequencyMin = valueOf(ui->sbFrequencyMin);
    plan.limits.frequencyMax = valueOf(ui->sbFrequencyMax);
    if (ui->deMarkDate->date() != ui->deMarkDate->minimumDate()) {
        plan.markDate = ui->deMarkDate->date();
        plan.markSeconds = m_markSeconds;
        plan.markStarts = ui->sbMarkStarts->value();
    }
    return plan;
}

void MaintenanceDialog::showStatus()
{
    const MeterState *meter = m_board && m_index < m_board->count() ? &m_board->meter(m_index) : nullptr;
    // The mark needs the meter's counters as they are now, not a reading the broker kept.
    ui->pushButtonMark->setEnabled(meter && meter->reading && !meter->retained);

    const MaintenanceStatus status = maintenanceStatus(shownPlan(), meter ? meter->reading : std::nullopt);
    QStringList lines;
    if (!status.planned) {
        lines << tr("Интервал обслуживания не задан.");
    } else if (!status.known) {
        lines << tr("От счётчика ещё нет данных.");
    } else if (status.reset) {
        lines << tr("Общая наработка или число пусков меньше, чем при последнем обслуживании: счётчик "
                    "заменён или сброшен. Отметьте обслуживание заново.");
    } else {
        if (status.secondsLeft) {
            const qint64 left = *status.secondsLeft;
            lines << (left > 0 ? tr("До обслуживания: %1 наработки").arg(serviceTimeText(left))
                               : tr("Обслуживание просрочено на %1 наработки").arg(serviceTimeText(-left)));
        }
        if (status.startsLeft) {
            const qint64 left = *status.startsLeft;
            lines << (left > 0 ? tr("До обслуживания: %1").arg(startsText(left))
                               : tr("Обслуживание просрочено на %1").arg(startsText(-left)));
        }
    }
    ui->labelStatus->setText(lines.join(QLatin1Char('\n')));
}

void MaintenanceDialog::markService()
{
    if (!m_board || m_index >= m_board->count() || !m_board->meter(m_index).reading)
        return;
    const MeterState &meter = m_board->meter(m_index);
    m_showing = true;
    ui->deMarkDate->setDate(QDate::currentDate());
    m_markSeconds = meter.reading->tCommon;
    ui->sbMarkHours->setValue(double(m_markSeconds) / 3600);
    ui->sbMarkStarts->setValue(qMax(0, meter.reading->numStarts));
    m_showing = false;
    showStatus();
    savePlan();
}

QString MaintenanceDialog::refusal() const
{
    const MaintenancePlan plan = shownPlan();
    if (plan.limits.voltageMin && plan.limits.voltageMax && *plan.limits.voltageMin > *plan.limits.voltageMax)
        return tr("Напряжение: нижний предел выше верхнего.");
    if (plan.limits.frequencyMin && plan.limits.frequencyMax && *plan.limits.frequencyMin > *plan.limits.frequencyMax)
        return tr("Частота: нижний предел выше верхнего.");
    return {};
}

bool MaintenanceDialog::savePlan()
{
    const QString refused = refusal();
    if (!refused.isEmpty()) {
        warn(tr("Недопустимое значение"), refused);
        return false;
    }
    if (SettingsFile().writeMaintenancePlan(shownPlan()) == WriteResult::Written) {
        emit saved();
        return true;
    }
    // The typed values stay in the fields, so the user can save again.
    warn(tr("Ошибка записи"), tr("Не удалось сохранить настройки в файл Settings.conf.\n"
                                 "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
    return false;
}

void MaintenanceDialog::warn(const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
