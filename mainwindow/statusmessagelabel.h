#pragma once

#include <QLabel>
#include <QString>

class QStatusBar;

// Shows a status bar's message, shortened when it does not fit, so that the
// end of a long text (the seconds of a countdown) stays in view: the window
// is narrow, and a status bar only cuts its message off at the right. The
// whole text stays the bar's currentMessage() and is the label's tooltip.
//
// The label is the bar's first permanent widget and takes all the room the
// others leave. The bar writes a message of its own only left of its
// permanent widgets, so it writes nothing, and the label follows the bar's
// messageChanged(): status tips and timeouts included.
class StatusMessageLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMessageLabel)

public:
    explicit StatusMessageLabel(QStatusBar *bar);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void showMessage(const QString &message);
    void fit();

    QString m_message;
};
