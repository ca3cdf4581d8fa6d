#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a signal of the event loop, so that main() can
// quit the way "Выход" does: the window is destroyed and the program ends with
// status 0. A handler may only do async-signal-safe things, so it writes the
// signal's number into a pipe whose other end the event loop watches. After
// the first signal the default action is back: a second one ends a program
// that no longer responds. A signal ignored when the object is made stays
// ignored. One object at a time; it restores the previous handlers when it
// goes.
class TerminationSignals final : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;
    Q_DISABLE_COPY_MOVE(TerminationSignals)

signals:
    void received(int signalNumber);

private:
    void readPipe();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_previousTerm = {};
    struct sigaction m_previousInt = {};
};
