#pragma once

#include "measurement/payload.h"

#include <QDialog>

#include <optional>

namespace Ui {
class MeasDialog;
}
class QTimer;

// The panel of one meter: its eight values and the offline mark.
class MeasDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeasDialog)

public:
    // Silence after a reading longer than this marks the meter offline.
    static constexpr int kOfflineIntervalMs = 10000;

    explicit MeasDialog(QWidget *parent = nullptr);
    ~MeasDialog() override;

    void ShowPayload(const QString &payload);

    // How long a reading counts as fresh, kOfflineIntervalMs unless set; applies from the next
    // reading on. Values below 1 ms restore the default.
    void setOfflineInterval(int ms);
    int offlineInterval() const { return m_offlineIntervalMs; }

private slots:
    void slotTimerAlarm();

private:
    void showReading(const Reading &reading);

    Ui::MeasDialog *ui;
    QTimer *m_offlineTimer; // child of the panel
    int m_offlineIntervalMs = kOfflineIntervalMs;
    // The reading the value labels show, so that a meter repeating itself costs no relabelling.
    // Cleared by the offline mark, since the mode label then no longer shows it.
    std::optional<Reading> m_shown;
};
