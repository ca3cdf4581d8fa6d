#pragma once

#include "config/settingsfile.h"

#include <QObject>
#include <QPointer>

class DesktopNotifier;
class EventLog;
class EventLogWindow;
class MeterBoard;
class MeterWatch;
class QSystemTrayIcon;
class QWidget;

// What a window adds to watch its meters: the watch over the board (limits, states, maintenance),
// the event log and its window, the maintenance dialog, desktop notifications and the tray
// icon, as group Alarms, Maintenance and Notify of Settings.conf say. The window feeds the watch
// the broker connection's changes and shows its conditions in its tabs.
class Watchman final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Watchman)

public:
    // window parents the dialogs and windows, and comes forward on a click on the tray icon.
    // Nothing is read from the file before the first applySettings(), so that whoever shows
    // statusMessage() can listen first.
    Watchman(const MeterBoard *board, QWidget *window);
    ~Watchman() override;

    MeterWatch *watch() const { return m_watch; }
    EventLog *log() const { return m_log; }

    // Reads the three groups afresh and applies them.
    void applySettings();

    // Opens the event log, or brings the open one forward.
    void showEventLog();
    // Opens the maintenance dialog of meter `index`; the file is applied again when it closes.
    void showMaintenance(int index);

    // "В сети: N из M", and " · тревог K" while the supply of K meters is outside its limits.
    QString countText() const;

signals:
    // Once: desktop notifications cannot reach the desktop, and why.
    void statusMessage(const QString &text);
    // A meter's event was activated in the event log: the first record of its topic.
    void meterRequested(int index);

private:
    void setTray(bool shown);
    void scheduleTrayUpdate();
    void updateTray();

    const MeterBoard *const m_board;
    QWidget *const m_window;
    MeterWatch *m_watch;                   // child
    EventLog *m_log;                       // child
    DesktopNotifier *m_notifier = nullptr; // child, made once notifications are first on
    QSystemTrayIcon *m_tray = nullptr;     // child, while [Notify] Tray
    bool m_trayUpdatePending = false;
    QPointer<EventLogWindow> m_eventLogWindow; // deletes itself when closed
};
