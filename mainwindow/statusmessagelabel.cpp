#include "mainwindow/statusmessagelabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QStatusBar>

namespace {

// text as it fits into width: the clause after the last ", " whole and the
// text before it cut at its end, as long as at least half of that stays;
// otherwise the whole text cut in the middle.
QString shortened(const QString &text, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    // "Нет связи с host:port, повтор через N с": the clause after the last
    // comma says what happens next and stays whole; the host gives way.
    const int comma = text.lastIndexOf(QLatin1String(", "));
    if (comma > 0) {
        const QString tail = text.mid(comma);
        const int headWidth = width - metrics.horizontalAdvance(tail);
        if (headWidth > metrics.horizontalAdvance(text.left(comma / 2)))
            return metrics.elidedText(text.left(comma), Qt::ElideRight, headWidth) + tail;
    }
    return metrics.elidedText(text, Qt::ElideMiddle, width);
}

} // namespace

StatusMessageLabel::StatusMessageLabel(QStatusBar *bar) : QLabel(bar)
{
    setObjectName(QStringLiteral("labelStatusMessage"));
    setTextFormat(Qt::PlainText);
    // Any width at all: the text is made to fit whatever the bar leaves, and
    // a long message must not widen the window.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    bar->insertPermanentWidget(0, this, 1);
    connect(bar, &QStatusBar::messageChanged, this, &StatusMessageLabel::showMessage);
    showMessage(bar->currentMessage());
}

void StatusMessageLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    fit();
}

void StatusMessageLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fit();
}

void StatusMessageLabel::showMessage(const QString &message)
{
    m_message = message;
    setToolTip(message);
    fit();
}

void StatusMessageLabel::fit()
{
    setText(shortened(m_message, fontMetrics(), contentsRect().width()));
}
