#pragma once

#include <QLabel>
#include <QPointer>

class HistoryRecorder;

// A mark in the status bar that stays as long as the history needs the
// user's eye, where a status message would soon give way to the next one:
// while the file is not written (the readings wait in memory), while
// retention waits for the clock, and, for the rest of the session, once the
// file was deleted or replaced while open and had to be opened again. Its
// tooltip says why. Hidden while all is well.
class HistoryIndicator final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryIndicator)

public:
    explicit HistoryIndicator(QWidget *parent = nullptr);

    // Follows this recorder from now on, the one before no longer.
    void watch(const HistoryRecorder *recorder);

private:
    void refresh();

    QPointer<const HistoryRecorder> m_recorder;
};
