#include "watch/watchman.h"

#include "measurement/meterboard.h"
#include "overview/meterstatus.h"
#include "watch/desktopnotifier.h"
#include "watch/eventlog.h"
#include "watch/eventlogwindow.h"
#include "watch/maintenancedialog.h"
#include "watch/meterwatch.h"

#include <QDBusConnection>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

Watchman::Watchman(const MeterBoard *board, QWidget *window)
    : QObject(window), m_board(board), m_window(window), m_watch(new MeterWatch(board, this)), m_log(new EventLog(this))
{
    m_watch->setObjectName(QStringLiteral("meterWatch"));
    m_log->setObjectName(QStringLiteral("eventLog"));
    connect(m_watch, &MeterWatch::eventRaised, m_log, &EventLog::add);
    connect(m_watch, &MeterWatch::meterChanged, this, &Watchman::scheduleTrayUpdate);
    connect(board, &MeterBoard::devicesChanged, this, &Watchman::scheduleTrayUpdate);
}

Watchman::~Watchman() = default;

void Watchman::applySettings()
{
    const WatchSettings settings = SettingsFile().readWatchSettings();
    m_watch->setSettings(settings.limits, settings.plans);
    if (settings.notify.desktop && !m_notifier) {
        // Only now: without notifications the program never connects to the bus.
        m_notifier = new DesktopNotifier(QDBusConnection::sessionBus(), this);
        m_notifier->setObjectName(QStringLiteral("desktopNotifier"));
        connect(m_notifier, &DesktopNotifier::unavailable, this, &Watchman::statusMessage);
        connect(m_watch, &MeterWatch::eventRaised, m_notifier, &DesktopNotifier::notify);
    }
    if (m_notifier)
        m_notifier->setEnabled(settings.notify.desktop);
    setTray(settings.notify.tray);
}

void Watchman::showEventLog()
{
    if (!m_eventLogWindow) {
        m_eventLogWindow = new EventLogWindow(m_log, m_board, m_window);
        m_eventLogWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_eventLogWindow, &EventLogWindow::meterActivated, this, [this](const QString &topic) {
            const QVector<int> *meters = m_board->metersOn(topic);
            if (meters && !meters->isEmpty())
                emit meterRequested(meters->first());
        });
    }
    m_eventLogWindow->show();
    m_eventLogWindow->raise();
    m_eventLogWindow->activateWindow();
}

void Watchman::showMaintenance(int index)
{
    if (index < 0 || index >= m_board->count())
        return;
    auto *dialog = new MaintenanceDialog(m_board, index, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setModal(true);
    // A mark is saved at once, and counts from then on.
    connect(dialog, &MaintenanceDialog::saved, this, &Watchman::applySettings);
    dialog->show();
}

QString Watchman::countText() const
{
    const QString online = tr("В сети: %1 из %2").arg(m_board->onlineCount()).arg(m_board->count());
    const int alarms = m_watch->alarmCount();
    return alarms > 0 ? online + tr(" · тревог %1").arg(alarms) : online;
}

void Watchman::setTray(bool shown)
{
    if (shown == bool(m_tray))
        return;
    if (!shown) {
        delete m_tray;
        m_tray = nullptr;
        return;
    }
    m_tray = new QSystemTrayIcon(this);
    m_tray->setObjectName(QStringLiteral("trayIcon"));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
            return;
        if (m_window->isMinimized())
            m_window->showNormal();
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    });
    updateTray();
    m_tray->show();
}

void Watchman::scheduleTrayUpdate()
{
    // A thousand meters changing at once repaint the tray once.
    if (!m_tray || m_trayUpdatePending)
        return;
    m_trayUpdatePending = true;
    QTimer::singleShot(0, this, &Watchman::updateTray);
}

void Watchman::updateTray()
{
    m_trayUpdatePending = false;
    if (!m_tray)
        return;
    m_tray->setIcon(conditionIcon(m_watch->worstCondition()));
    m_tray->setToolTip(countText());
}
