#include "mainwindow/statusmessageelision.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QStatusBar>
#include <QStyleOption>

StatusMessageElision::StatusMessageElision(QStatusBar *bar, QWidget *permanent)
    : QObject(bar), m_bar(bar), m_permanent(permanent)
{
    bar->installEventFilter(this);
}

bool StatusMessageElision::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_bar || event->type() != QEvent::Paint)
        return false;
    const QString message = m_bar->currentMessage();
    // Where the status bar itself would write it, from 6 px, but a space short
    // of the permanent widget, whose text starts at its edge.
    const int right = m_permanent && m_permanent->isVisible()
                          ? m_permanent->x() - m_bar->fontMetrics().horizontalAdvance(QLatin1Char(' ')) - 2
                          : m_bar->width() - 12;
    const QRect area(6, 0, right - 6, m_bar->height());
    if (message.isEmpty() || m_bar->fontMetrics().horizontalAdvance(message) <= area.width() ||
        m_bar->layoutDirection() == Qt::RightToLeft)
        return false;

    // What the status bar paints with a message, but the text elided.
    QPainter painter(m_bar);
    QStyleOption panel;
    panel.initFrom(m_bar);
    m_bar->style()->drawPrimitive(QStyle::PE_PanelStatusBar, &panel, &painter, m_bar);
    if (m_permanent && m_permanent->isVisible()) {
        QStyleOption frame;
        frame.rect = m_permanent->geometry().adjusted(-2, -1, 2, 1);
        frame.palette = m_bar->palette();
        frame.state = QStyle::State_None;
        m_bar->style()->drawPrimitive(QStyle::PE_FrameStatusBarItem, &frame, &painter, m_permanent);
    }
    painter.setPen(m_bar->palette().windowText().color());
    painter.drawText(area, Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine, elided(message, area.width()));
    return true;
}

QString StatusMessageElision::elided(const QString &message, int width) const
{
    const QFontMetrics metrics = m_bar->fontMetrics();
    // "Нет связи с host:port, повтор через N с": the clause after the last
    // comma says what happens next and stays whole; the host gives way.
    const int comma = message.lastIndexOf(QLatin1String(", "));
    if (comma > 0) {
        const QString tail = message.mid(comma);
        const int headWidth = width - metrics.horizontalAdvance(tail);
        if (headWidth > metrics.horizontalAdvance(message.left(comma / 2)))
            return metrics.elidedText(message.left(comma), Qt::ElideRight, headWidth) + tail;
    }
    return metrics.elidedText(message, Qt::ElideMiddle, width);
}
