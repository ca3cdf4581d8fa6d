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

void paintDisc(QPainter *painter, const QRectF &rect, bool online)
{
    const qreal side = qMin(rect.width(), rect.height());
    // A third of the icon's box, about the size of a text's x-height next to the tab title.
    const qreal diameter = qMax<qreal>(4, side * 0.6);
    QRectF disc(0, 0, diameter, diameter);
    disc.moveCenter(rect.center());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(online ? QColor(0x1b, 0x6e, 0x24) : QColor(0x70, 0x70, 0x70), qMax<qreal>(1, side / 16)));
    painter->setBrush(online ? QColor(0x2e, 0xb8, 0x3c) : QColor(0xb0, 0xb0, 0xb0));
    painter->drawEllipse(disc);
    painter->restore();
}

class StateIconEngine final : public QIconEngine
{
public:
    explicit StateIconEngine(bool online) : m_online(online) {}
    StateIconEngine(const MeterBoard *board, int index) : m_board(board), m_index(index) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        paintDisc(painter, rect, online());
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
    QIconEngine *clone() const override { return new StateIconEngine(*this); }

private:
    bool online() const
    {
        if (m_index < 0)
            return m_online;
        return m_board && m_index < m_board->count() && m_board->meter(m_index).online;
    }

    QPointer<const MeterBoard> m_board;
    int m_index = -1;
    bool m_online = false;
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

QString meterStateText(const MeterState &meter)
{
    if (meter.online)
        return translated("в сети");
    return meter.reading ? translated("не в сети") : translated("нет данных");
}

QString meterToolTip(const MeterState &meter, const QDateTime &now)
{
    if (!meter.reading)
        return translated("нет данных");
    const QString time = readingTime(meter.receivedMs, now.date());
    return meter.online ? translated("в сети · данные %1").arg(time)
                        : translated("не в сети · последние данные %1").arg(time);
}

QString receivedText(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QIcon meterStateIcon(bool online)
{
    return QIcon(new StateIconEngine(online));
}

QIcon liveMeterStateIcon(const MeterBoard *board, int index)
{
    return QIcon(new StateIconEngine(board, index));
}
