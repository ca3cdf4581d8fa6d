#pragma once

#include "measurement/meterboard.h"
#include "measurement/payload.h"

#include <QDialog>
#include <QPointer>

#include <optional>

namespace Ui {
class MeasDialog;
}
class QLabel;
class QTimer;

// The panel of one meter: its eight values and the offline mark. It works in one of two ways:
// - on its own (first constructor): ShowPayload() decodes and shows the reading and restarts
//   the panel's own offline timer, a child QTimer named "offlineTimer";
// - bound to meter `index` of a MeterBoard (second constructor), as in the main window: the
//   board holds the meter's state and tells the panel of it; ShowPayload() hands the reading
//   to the board, whose shared deadline queue sets the offline mark. Such a panel has no timer.
// Either way the mark comes one offline interval after the last reading.
class MeasDialog final : public QDialog, public MeterView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeasDialog)

public:
    // Silence after a reading longer than this marks the meter offline.
    static constexpr int kOfflineIntervalMs = MeterBoard::kOfflineIntervalMs;

    explicit MeasDialog(QWidget *parent = nullptr);
    explicit MeasDialog(MeterBoard *board, int index, QWidget *parent = nullptr);
    ~MeasDialog() override;

    void ShowPayload(const QString &payload);

    // How long a reading counts as fresh, kOfflineIntervalMs unless set; applies from the next
    // reading on. Values below 1 ms restore the default. A bound panel sets its meter's own
    // interval on the board.
    void setOfflineInterval(int ms);
    int offlineInterval() const;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void slotTimerAlarm();

private:
    void showMeter(const MeterState &meter) override;
    void showReading(const Reading &reading);
    void showOffline();
    // Sets a value label's text and, while the panel is on screen, the name assistive
    // technology reads for it (see the source).
    void setValueText(QLabel *label, const QString &text);

    Ui::MeasDialog *ui;
    QTimer *m_offlineTimer = nullptr; // child of a panel on its own; none when bound
    int m_offlineIntervalMs = kOfflineIntervalMs;
    QPointer<MeterBoard> m_board;
    const int m_index = -1;
    // The reading the value labels show, so that a meter repeating itself costs no relabelling.
    // Cleared by the offline mark, since the mode label then no longer shows it.
    std::optional<Reading> m_shown;
    // Between showEvent() and hideEvent().
    bool m_onScreen = false;
    // Every value label carries its text as its accessible name; and whether, hidden, some of
    // those names fell behind their texts.
    bool m_named = false;
    bool m_namesBehind = false;
};
