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

    // Test-only: the offline interval of panels created after the call, so tests need not sit
    // through ten seconds of silence. A value <= 0 restores kOfflineIntervalMs. Never call it in
    // the program.
    static void setOfflineIntervalForTesting(int ms);

private slots:
    void slotTimerAlarm();

private:
    void showReading(const Reading &reading);

    Ui::MeasDialog *ui;
    QTimer *timer; // child of the panel
    const int offlineIntervalMs;
    // The reading the value labels show, so that a meter repeating itself costs no relabelling.
    // Cleared by the offline mark, since the mode label then no longer shows it.
    std::optional<Reading> shown;
};
