#pragma once

#include <QObject>
#include <QString>

class QStatusBar;
class QWidget;

// Paints a status bar's message elided in the middle when it does not fit, so
// that the end of a long text (the seconds of a countdown) stays in view; the
// message itself stays whole for currentMessage() and the tooltip. The window
// is narrow, and a status bar only clips its message at the right edge.
class StatusMessageElision final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMessageElision)

public:
    // permanent: the permanent widget that the message must not run into.
    StatusMessageElision(QStatusBar *bar, QWidget *permanent);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString elided(const QString &message, int width) const;

    QStatusBar *m_bar;
    QWidget *m_permanent;
};
