#include "overview/meterstatus.h"

#include "measurement/meterboard.h"

#include <QCoreApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QPointer>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("MeterStatus", text);
}

struct DiscColours
{
    QColor pen;
    QColor brush;
};

DiscColours coloursOf(MeterCondition condition)
{
    switch (condition) {
    case MeterCondition::Silent:
        return {QColor(0x8c, 0x1d, 0x18), QColor(0xd9, 0x30, 0x25)};
    case MeterCondition::OutOfRange:
    case MeterCondition::ServiceOverdue:
        return {QColor(0x8a, 0x61, 0x00), QColor(0xf2, 0xa9, 0x00)};
    case MeterCondition::Online:
        return {QColor(0x1b, 0x6e, 0x24), QColor(0x2e, 0xb8, 0x3c)};
    case MeterCondition::NoData:
        break;
    }
    return {QColor(0x70, 0x70, 0x70), QColor(0xb0, 0xb0, 0xb0)};
}

void paintDisc(QPainter *painter, const QRectF &rect, MeterCondition condition)
{
    const qreal side = qMin(rect.width(), rect.height());
    // A third of the icon's box, about the size of a text's x-height next to the tab title.
    const qreal diameter = qMax<qreal>(4, side * 0.6);
    QRectF disc(0, 0, diameter, diameter);
    disc.moveCenter(rect.center());
    const DiscColours colours = coloursOf(condition);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(colours.pen, qMax<qreal>(1, side / 16)));
    painter->setBrush(colours.brush);
    painter->drawEllipse(disc);
    if (condition == MeterCondition::ServiceOverdue) {
        // The same amber as a supply out of range, told apart by a dot that colour alone cannot.
        QRectF dot(0, 0, diameter * 0.4, diameter * 0.4);
        dot.moveCenter(rect.center());
        painter->setPen(Qt::NoPen);
        painter->setBrush(colours.pen);
        painter->drawEllipse(dot);
    }
    painter->restore();
}

class ConditionIconEngine final : public QIconEngine
{
public:
    explicit ConditionIconEngine(MeterCondition condition) : m_condition(condition) {}
    ConditionIconEngine(const MeterWatch *watch, int index) : m_watch(watch), m_index(index) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        paintDisc(painter, rect, condition());
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine *clone() const override { return new ConditionIconEngine(*this); }

private:
    MeterCondition condition() const
    {
        if (m_index < 0)
            return m_condition;
        return m_watch && m_index < m_watch->meterCount() ? m_watch->condition(m_index) : MeterCondition::NoData;
    }

    QPointer<const MeterWatch> m_watch;
    int m_index = -1;
    MeterCondition m_condition = MeterCondition::NoData;
};

// A reading's local time as a tooltip shows it, with its date unless that is today. Meters come
// and go in waves (ten thousand at start, all of them when the broker goes away), and converting
// to local time reads the time zone file each time: most of a tooltip's cost. The meters of a
// wave share their second, so the last second's text is kept.
QString readingTime(qint64 receivedMs, const QDate &today)
{
    static qint64 second = -1;
    static QDate day;
    static QString text;
    if (receivedMs / 1000 != second || today != day) {
        second = receivedMs / 1000;
        day = today;
        const QDateTime received = QDateTime::fromMSecsSinceEpoch(receivedMs);
        text = received.date() == today ? received.toString(QStringLiteral("hh:mm:ss"))
                                        : received.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    }
    return text;
}

} // namespace

QString ageText(qint64 seconds)
{
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return translated("%1 мин").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return minutes % 60 ? translated("%1 ч %2 мин").arg(hours).arg(minutes % 60) : translated("%1 ч").arg(hours);
    return hours % 24 ? translated("%1 дн %2 ч").arg(hours / 24).arg(hours % 24) : translated("%1 дн").arg(hours / 24);
}

QString meterToolTip(const MeterState &meter, MeterCondition condition, const QDateTime &now)
{
    QString state = conditionText(condition);
    if (!meter.reading)
        return state;
    if (meter.retained)
        return translated("%1 · время последних данных неизвестно").arg(state);
    const QString time = readingTime(meter.receivedMs, now.date());
    if (meter.online)
        return translated("%1 · данные %2").arg(state, time);
    const qint64 silentFor = (now.toMSecsSinceEpoch() - meter.receivedMs) / 1000;
    if (condition == MeterCondition::Silent && silentFor >= 60)
        state += QLatin1Char(' ') + ageText(silentFor);
    return translated("%1 · последние данные %2").arg(state, time);
}

QString receivedText(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QIcon conditionIcon(MeterCondition condition)
{
    return QIcon(new ConditionIconEngine(condition));
}

QIcon liveConditionIcon(const MeterWatch *watch, int index)
{
    return QIcon(new ConditionIconEngine(watch, index));
}
