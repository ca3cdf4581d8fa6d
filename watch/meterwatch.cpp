#include "watch/meterwatch.h"

#include "measurement/meterboard.h"

#include <QCoreApplication>
#include <QDateTime>

namespace {

// The bounds that apply: the plan's own, else the defaults'.
void setBounds(int *min, int *max, const std::optional<int> &ownMin, const std::optional<int> &ownMax,
               const std::optional<int> &defaultMin, const std::optional<int> &defaultMax)
{
    *min = ownMin.value_or(defaultMin.value_or(std::numeric_limits<int>::min()));
    *max = ownMax.value_or(defaultMax.value_or(std::numeric_limits<int>::max()));
}

} // namespace

QString conditionText(MeterCondition condition)
{
    switch (condition) {
    case MeterCondition::Silent:
        return QCoreApplication::translate("MeterWatch", "не в сети");
    case MeterCondition::OutOfRange:
        return QCoreApplication::translate("MeterWatch", "вне пределов");
    case MeterCondition::ServiceOverdue:
        return QCoreApplication::translate("MeterWatch", "обслуживание просрочено");
    case MeterCondition::Online:
        return QCoreApplication::translate("MeterWatch", "в сети");
    case MeterCondition::NoData:
        return QCoreApplication::translate("MeterWatch", "нет данных");
    }
    return {};
}

MeterWatch::MeterWatch(const MeterBoard *board, QObject *parent) : QObject(parent), m_board(board)
{
    m_elapsed.start();
    setClock({});
    m_graceTimer.setSingleShot(true);
    connect(&m_graceTimer, &QTimer::timeout, this, &MeterWatch::startWatchingSilence);
    connect(board, &MeterBoard::readingRecorded, this, &MeterWatch::readingRecorded);
    connect(board, &MeterBoard::onlineChanged, this, &MeterWatch::onlineChanged);
    connect(board, &MeterBoard::devicesChanged, this, &MeterWatch::rebuild);
    rebuild();
}

MeterWatch::~MeterWatch() = default;

void MeterWatch::setSettings(const SupplyLimits &limits, const QVector<MaintenancePlan> &plans)
{
    QHash<QString, MaintenancePlan> byTopic;
    for (const MaintenancePlan &plan : plans)
        byTopic.insert(plan.topic, plan);
    const bool announce = m_settingsApplied;
    std::swap(m_plans, byTopic);
    m_limits = limits;
    m_settingsApplied = true;

    if (announce) {
        for (const MaintenancePlan &plan : qAsConst(m_plans)) {
            const auto old = byTopic.constFind(plan.topic);
            const bool marked = plan.markDate.isValid() && (old == byTopic.constEnd() || !old->sameMark(plan));
            const QVector<int> *meters = marked ? m_board->metersOn(plan.topic) : nullptr;
            for (int index : meters ? *meters : QVector<int>())
                raise(index, EventKind::ServiceMarked);
        }
    }
    applySettings(announce);
}

void MeterWatch::setHoldTime(int ms)
{
    m_holdMs = ms > 0 ? ms : kHoldMs;
}

void MeterWatch::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : [this] { return m_elapsed.elapsed(); };
}

void MeterWatch::rebuild()
{
    m_meters.assign(std::size_t(m_board->count()), Watched());
    m_counts.fill(0);
    m_counts[std::size_t(MeterCondition::NoData)] = m_board->count();
    m_alarmCount = 0;
    applySettings(false);
}

void MeterWatch::applySettings(bool announce)
{
    for (int index = 0; index < m_board->count(); ++index) {
        const MeterState &state = m_board->meter(index);
        Watched &meter = m_meters[std::size_t(index)];
        const MaintenancePlan plan = m_plans.value(state.topic);

        const struct
        {
            Quantity *quantity;
            const std::optional<int> &ownMin, &ownMax, &defaultMin, &defaultMax;
            EventKind normal;
        } quantities[] = {{&meter.voltage, plan.limits.voltageMin, plan.limits.voltageMax, m_limits.voltageMin,
                           m_limits.voltageMax, EventKind::VoltageNormal},
                          {&meter.frequency, plan.limits.frequencyMin, plan.limits.frequencyMax, m_limits.frequencyMin,
                           m_limits.frequencyMax, EventKind::FrequencyNormal}};
        for (const auto &q : quantities) {
            const int oldMin = q.quantity->min;
            const int oldMax = q.quantity->max;
            setBounds(&q.quantity->min, &q.quantity->max, q.ownMin, q.ownMax, q.defaultMin, q.defaultMax);
            if (q.quantity->min == oldMin && q.quantity->max == oldMax)
                continue;
            // New bounds, a new count: an alarm stands until readings clear it, unless no bound is left.
            q.quantity->streak = 0;
            if (q.quantity->alarmed && !q.quantity->limited()) {
                q.quantity->alarmed = false;
                if (announce)
                    raise(index, q.normal);
            }
        }
        meter.limited = meter.voltage.limited() || meter.frequency.limited();
        updateAlarmed(meter);

        meter.planned = plan.hasInterval();
        meter.markSeconds = plan.markSeconds;
        meter.markStarts = plan.markStarts;
        meter.dueSeconds = plan.intervalHours ? plan.markSeconds + qint64(*plan.intervalHours) * 3600
                                              : std::numeric_limits<qint64>::max();
        meter.dueStarts =
            plan.intervalStarts ? plan.markStarts + *plan.intervalStarts : std::numeric_limits<qint64>::max();
        // Counted from the last live reading; a retained one is old data.
        if (meter.planned && state.reading && state.receivedMs > 0 && !state.retained) {
            checkService(index, meter, state.reading->tCommon, state.reading->numStarts);
        } else {
            meter.overdue = false;
        }
    }
    updateAll();
}

void MeterWatch::readingRecorded(int index)
{
    Watched &meter = m_meters[std::size_t(index)];
    if (!meter.limited && !meter.planned)
        return;
    const Reading &reading = *m_board->meter(index).reading;
    bool changed = false;
    if (meter.limited) {
        changed |= check(index, meter.voltage, reading.voltage, EventKind::VoltageLow, EventKind::VoltageHigh,
                         EventKind::VoltageNormal);
        changed |= check(index, meter.frequency, reading.freq, EventKind::FrequencyLow, EventKind::FrequencyHigh,
                         EventKind::FrequencyNormal);
    }
    if (meter.planned)
        changed |= checkService(index, meter, reading.tCommon, reading.numStarts);
    if (changed) {
        updateAlarmed(meter);
        updateCondition(index);
    }
}

void MeterWatch::updateAlarmed(Watched &meter)
{
    const bool alarmed = meter.voltage.alarmed || meter.frequency.alarmed;
    if (alarmed != meter.alarmed) {
        meter.alarmed = alarmed;
        m_alarmCount += alarmed ? 1 : -1;
    }
}

bool MeterWatch::check(int index, Quantity &quantity, int value, EventKind low, EventKind high, EventKind normal)
{
    const bool outside = value < quantity.min || value > quantity.max;
    if (outside == quantity.alarmed) {
        quantity.streak = 0;
        return false;
    }
    const qint64 nowMs = m_clock();
    if (quantity.streak++ == 0)
        quantity.sinceMs = nowMs;
    if (nowMs - quantity.sinceMs < m_holdMs || (outside && quantity.streak < kHoldReadings))
        return false;
    quantity.alarmed = outside;
    quantity.streak = 0;
    if (!outside)
        raise(index, normal);
    else if (value < quantity.min)
        raise(index, low, value, quantity.min);
    else
        raise(index, high, value, quantity.max);
    return true;
}

bool MeterWatch::checkService(int index, Watched &meter, qint64 seconds, qint64 starts)
{
    const bool reset = seconds < meter.markSeconds || starts < meter.markStarts;
    const bool overdue = !reset && (seconds >= meter.dueSeconds || starts >= meter.dueStarts);
    if (overdue == meter.overdue)
        return false;
    meter.overdue = overdue;
    if (overdue)
        raise(index, EventKind::ServiceOverdue);
    return true;
}

void MeterWatch::onlineChanged(int index, bool online)
{
    Watched &meter = m_meters[std::size_t(index)];
    if (online && meter.silentRaised) {
        meter.silentRaised = false;
        raise(index, EventKind::BackOnline);
    } else if (!online && m_watchingSilence && !meter.silentRaised) {
        meter.silentRaised = true;
        raise(index, EventKind::Silent);
    }
    if (!updateCondition(index))
        emit meterChanged(index);
}

void MeterWatch::brokerConnected()
{
    const bool wasLost = m_link == Link::Lost;
    m_link = Link::Up;
    if (wasLost)
        raiseBroker(EventKind::BrokerBack);
    setWatchingSilence(false);
    // Meters report every few seconds: a meter heard before is given one offline interval to
    // speak before its silence counts.
    m_graceTimer.start(m_board->offlineInterval());
}

void MeterWatch::brokerLost()
{
    if (m_link == Link::Up)
        raiseBroker(EventKind::BrokerLost);
    m_link = Link::Lost;
    m_graceTimer.stop();
    setWatchingSilence(false);
}

void MeterWatch::brokerClosed()
{
    m_link = Link::Closed;
    m_graceTimer.stop();
    setWatchingSilence(false);
}

void MeterWatch::startWatchingSilence()
{
    for (int index = 0; index < m_board->count(); ++index) {
        const MeterState &state = m_board->meter(index);
        Watched &meter = m_meters[std::size_t(index)];
        if (state.receivedMs > 0 && !state.online && !meter.silentRaised) {
            meter.silentRaised = true;
            raise(index, EventKind::Silent);
        }
    }
    setWatchingSilence(true);
}

void MeterWatch::setWatchingSilence(bool watching)
{
    m_watchingSilence = watching;
    updateAll();
}

MeterCondition MeterWatch::evaluate(int index) const
{
    const MeterState &state = m_board->meter(index);
    const Watched &meter = m_meters[std::size_t(index)];
    if (meter.silentRaised && m_watchingSilence && !state.online)
        return MeterCondition::Silent;
    if (meter.alarmed)
        return MeterCondition::OutOfRange;
    if (meter.overdue)
        return MeterCondition::ServiceOverdue;
    return state.online ? MeterCondition::Online : MeterCondition::NoData;
}

bool MeterWatch::updateCondition(int index)
{
    Watched &meter = m_meters[std::size_t(index)];
    const MeterCondition condition = evaluate(index);
    if (condition == meter.condition)
        return false;
    --m_counts[std::size_t(meter.condition)];
    ++m_counts[std::size_t(condition)];
    meter.condition = condition;
    emit meterChanged(index);
    return true;
}

void MeterWatch::updateAll()
{
    for (int index = 0; index < int(m_meters.size()); ++index)
        updateCondition(index);
}

MeterCondition MeterWatch::worstCondition() const
{
    for (int condition = 0; condition < kConditionCount; ++condition) {
        if (m_counts[std::size_t(condition)] > 0)
            return MeterCondition(condition);
    }
    return MeterCondition::NoData;
}

MaintenancePlan MeterWatch::plan(int index) const
{
    const QString &topic = m_board->meter(index).topic;
    const auto found = m_plans.constFind(topic);
    if (found != m_plans.constEnd())
        return *found;
    MaintenancePlan none;
    none.topic = topic;
    return none;
}

MaintenanceStatus MeterWatch::maintenance(int index) const
{
    return maintenanceStatus(plan(index), m_board->meter(index).reading);
}

void MeterWatch::raise(int index, EventKind kind, int value, int limit)
{
    const MeterState &state = m_board->meter(index);
    emit eventRaised({QDateTime::currentMSecsSinceEpoch(), kind, state.topic, state.name, value, limit});
}

void MeterWatch::raiseBroker(EventKind kind)
{
    emit eventRaised({QDateTime::currentMSecsSinceEpoch(), kind, QString(), QString(), 0, 0});
}
