#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "base/version.h"
#include "config/advancedsettingsdialog.h"
#include "config/devicelistdialog.h"
#include "config/mqttsettform.h"
#include "config/settingsfile.h"
#include "history/historyindicator.h"
#include "history/historyrecorder.h"
#include "history/historywindow.h"
#include "mainwindow/statusmessagelabel.h"
#include "measurement/measdialog.h"
#include "measurement/meterboard.h"
#include "overview/meterstatus.h"
#include "overview/summarywindow.h"
#include "session/sessioncontroller.h"
#include "watch/eventlog.h"
#include "watch/meterwatch.h"
#include "watch/recordedeventstore.h"
#include "watch/watchman.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabBar>

#include <functional>

namespace {

// Here the board's readings meet the recorder: a chart's line breaks where the
// tab's disc would have turned grey.
static_assert(kHistorySilenceSeconds * 1000 == MeterBoard::kOfflineIntervalMs,
              "a silence in the chart is as long as the board waits before it marks a meter offline");

// A visible tab widget lays out its whole tab bar whenever a tab comes or
// goes, and shows the next page (touching every page) whenever the current one
// goes: tab by tab, that is quadratic in the number of meters, seconds for a
// thousand. Hidden, it lays out once, when shown again; and pages removed from
// the last, with the first one current, never make another one current. The
// window paints nothing meanwhile (posted events are delivered during a long
// rebuild), so none of this is ever seen.
class TabsPause final
{
public:
    explicit TabsPause(QTabWidget *tabs)
        : m_tabs(tabs), m_wasVisible(tabs->isVisible()), m_wasUpdating(tabs->window()->updatesEnabled())
    {
        m_tabs->window()->setUpdatesEnabled(false);
        if (m_wasVisible)
            m_tabs->hide();
    }
    ~TabsPause()
    {
        if (m_wasVisible)
            m_tabs->show();
        m_tabs->window()->setUpdatesEnabled(m_wasUpdating);
    }
    Q_DISABLE_COPY_MOVE(TabsPause)

private:
    QTabWidget *const m_tabs;
    const bool m_wasVisible;
    const bool m_wasUpdating;
};

// Brings a tab's tooltip up to date just before the tab bar shows it: the
// time of an online meter's last reading moves with every reading, and
// rewriting the tooltip for each of them would cost more than the reading.
class ToolTipRefresh final : public QObject
{
public:
    ToolTipRefresh(QTabBar *tabs, std::function<void(int)> refresh)
        : QObject(tabs), m_tabs(tabs), m_refresh(std::move(refresh))
    {
        tabs->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_tabs && event->type() == QEvent::ToolTip) {
            const int index = m_tabs->tabAt(static_cast<QHelpEvent *>(event)->pos());
            if (index >= 0)
                m_refresh(index);
        }
        return false;
    }

private:
    QTabBar *const m_tabs;
    const std::function<void(int)> m_refresh;
};

// A meter's text is under 200 bytes. Anything much larger is dropped by the
// client as it arrives, before it costs a copy, a conversion or a decoding.
constexpr int kMaxPayloadSize = 16 * 1024;

// The local time now, converted at most once a second: a wave of meters changing state (ten
// thousand at start) asks for it once per meter, and each conversion reads the time zone file.
QDateTime localNow()
{
    static qint64 second = -1;
    static QDateTime now;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    if (ms / 1000 != second) {
        second = ms / 1000;
        now = QDateTime::fromMSecsSinceEpoch(ms);
    }
    return now;
}

void destroyPanels(QTabWidget *tabs, std::vector<DeviceRecord> &devices)
{
    if (tabs->count() > 0)
        tabs->setCurrentIndex(0);
    while (!devices.empty())
        devices.pop_back();
}

} // namespace

DeviceRecord::DeviceRecord(const QString &deviceName, const QString &deviceTopic, MeterBoard *board, int index)
    : name(deviceName), topic(deviceTopic), panel(std::make_unique<MeasDialog>(board, index))
{
}

DeviceRecord::~DeviceRecord() = default;
DeviceRecord::DeviceRecord(DeviceRecord &&) noexcept = default;
DeviceRecord &DeviceRecord::operator=(DeviceRecord &&) noexcept = default;

MainWindow::MainWindow(QMQTT::Client *mqttClient, QWidget *parent)
    : QMainWindow(parent), client(mqttClient), ui(new Ui::MainWindow), m_board(new MeterBoard(this))
{
    ui->setupUi(this);

    // By signature text, not by member pointer: these four connections (and
    // the slot names they name) are part of the window's frozen interface.
    connect(client, SIGNAL(connected()), this, SLOT(onMQTT_Connected()));
    connect(client, SIGNAL(received(const QMQTT::Message &)), this, SLOT(onMQTT_Received(const QMQTT::Message &)));
    connect(client, SIGNAL(subscribed(const QString &)), this, SLOT(onMQTT_subscribed(const QString &)));
    connect(client, SIGNAL(disconnected()), this, SLOT(onMQTT_disconnected()));
    // Without this the user would never learn why a connection failed.
    connect(client, SIGNAL(error(QMQTT::ClientError)), this, SLOT(onMQTT_error(QMQTT::ClientError)));
    client->setMaximumPayloadSize(kMaxPayloadSize);
    m_session = new SessionController(client, this);
    m_session->setObjectName(QStringLiteral("sessionController"));
    connect(m_session, &SessionController::statusChanged, this, &MainWindow::showStatus);
    connect(m_session, &SessionController::stateChanged, this, &MainWindow::applySession);
    connect(m_session, &SessionController::stateChanged, this, &MainWindow::followSession);

    addAdvancedSettingsAction();
    setupWatch();
    setupOverview();
    setupHistory();
    RefreshTabs();
    m_session->startUp(this);
}

MainWindow::~MainWindow()
{
    // The summary reads the board, which as the window's first child would
    // otherwise go before it.
    delete m_summaryWindow.data();
    // Panels next, with the tab widget they stand in. One by one, each panel
    // leaving it would have the tab bar and the page stack look through every
    // page left (seconds for ten thousand); deleted with it, they go in one
    // sweep, so the records hand their panels over to it first.
    for (DeviceRecord &record : devices)
        record.panel.release();
    delete ui->tabWidget;
    devices.clear();
    // The history windows borrow the recorder, which goes with the members.
    qDeleteAll(findChildren<HistoryWindow *>(QString(), Qt::FindDirectChildrenOnly));
    delete ui;
}

void MainWindow::onMQTT_Connected()
{
    m_session->connected();
    for (const DeviceRecord &record : devices) {
        if (!record.topic.isEmpty())
            client->subscribe(record.topic, 0);
    }
}

void MainWindow::onMQTT_Connacked(uchar) {}
void MainWindow::onMQTT_error(QMQTT::ClientError err)
{
    m_session->failed(err);
}
void MainWindow::onMQTT_Published(QMQTT::Message) {}
void MainWindow::onMQTT_Pubacked(uchar, ushort) {}

void MainWindow::onMQTT_Received(const QMQTT::Message &message)
{
    const QVector<int> *meters = m_board->metersOn(message.topic());
    if (!meters)
        return;

    // A meter's text ends at the first zero byte, if it has one. Decoded once
    // here, however many records share the topic and whoever shows it.
    const QByteArray payload = message.payload();
    const int end = payload.indexOf('\0');
    const std::optional<Reading> reading =
        ParsePayload(QString::fromUtf8(payload.constData(), end < 0 ? payload.size() : end));
    // What the broker kept for late subscribers is old data, no sign of life.
    if (reading && message.retain())
        m_board->recordRetained(*meters, *reading);
    else if (reading)
        m_board->record(*meters, *reading);
}

void MainWindow::onMQTT_subscribed(const QString &) {}
void MainWindow::onMQTT_subacked(ushort, uchar) {}
void MainWindow::onMQTT_unsubscribed(const QString &) {}
void MainWindow::onMQTT_unsubacked(ushort) {}
void MainWindow::onMQTT_Pong() {}

void MainWindow::onMQTT_disconnected()
{
    m_session->disconnected();
}

void MainWindow::on_actionAbout_triggered()
{
    aboutApp();
}

void MainWindow::on_actionQuit_triggered()
{
    QCoreApplication::quit();
}

void MainWindow::aboutApp()
{
    QMessageBox::information(nullptr, tr("О программе"),
                             tr("Версия: %1\n"
                                "\n"
                                "MQTT клиент для счётчиков нарабоки Zelmar\n"
                                "https://zelmar.example/mqtt-client\n"
                                "© 2026 Zelmar. Все права защищены.")
                                 .arg(QLatin1String(kProgramVersion)),
                             QMessageBox::Ok);
}

void MainWindow::publishTopic() {}
void MainWindow::subscribeTopic() {}
void MainWindow::connectServer() {}

void MainWindow::quitApp()
{
    QCoreApplication::quit();
}

void MainWindow::clearMsg() {}

void MainWindow::on_actionMQTT_Settings_triggered()
{
    auto *dialog = new MQTTSettForm(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setModal(true);
    dialog->show();
}

void MainWindow::on_actionAddNewDevice_triggered()
{
    auto *dialog = new DeviceListDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setModal(true);
    connect(dialog, &DeviceListDialog::ExitAction, this, &MainWindow::RefreshTabs);
    dialog->show();
}

void MainWindow::RefreshTabs()
{
    const QVector<DeviceEntry> entries = SettingsFile().readDevices();

    const TabsPause pause(ui->tabWidget);
    // Destroying a panel takes its tab with it.
    destroyPanels(ui->tabWidget, devices);
    ui->tabWidget->clear();
    m_board->setDevices(entries);

    devices.reserve(entries.size());
    for (const DeviceEntry &entry : entries) {
        devices.emplace_back(entry.name, entry.topic, m_board, int(devices.size()));
        // Every widget of a panel's form posts a polish request and its layouts post layout
        // requests, and posting one of those scans every event still queued: left to the
        // next pass of the event loop, ten thousand panels would make that quadratic.
        if (devices.size() % 64 == 0)
            QCoreApplication::sendPostedEvents();
    }
    // Each new tab visits every tab before it; made after the panels, the tabs lie side by
    // side in memory rather than one between every two panels, and the visits cost a
    // fraction.
    for (int index = 0; index < int(devices.size()); ++index) {
        ui->tabWidget->addTab(devices[std::size_t(index)].panel.get(), liveConditionIcon(m_watchman->watch(), index),
                              shownDeviceName(devices[std::size_t(index)].name));
        updateTabToolTip(index);
    }
    updateOnlineCount();
}

void MainWindow::on_pushButtonConnect_clicked()
{
    m_session->press();
}

void MainWindow::applySession()
{
    // The device list and broker settings must not change under a live
    // session (the subscriptions were made from them), but must be editable
    // whenever there is none, so that failed settings can be corrected.
    const bool editable = !m_session->locksSettings();
    ui->actionAddNewDevice->setEnabled(editable);
    ui->actionMQTT_Settings->setEnabled(editable);
    m_advancedSettingsAction->setEnabled(editable);
    ui->pushButtonConnect->setText(m_session->offersDisconnect() ? tr("Отключиться") : tr("Подключиться"));
}

bool MainWindow::event(QEvent *event)
{
    // A menu sends an empty status tip whenever the pointer moves over an
    // entry without one (all of ours), which would clear the connection's
    // text until the next change of state; it is shown again instead.
    if (event->type() == QEvent::StatusTip && static_cast<QStatusTipEvent *>(event)->tip().isEmpty()) {
        ui->statusBar->showMessage(m_statusText);
        return true;
    }
    // Back from a dialog, or from an editor in which the user mended
    // Settings.conf: a note about its values goes once they are gone.
    if (event->type() == QEvent::WindowActivate)
        m_session->refreshFileNote(m_statusText);
    return QMainWindow::event(event);
}

void MainWindow::showStatus(const QString &text)
{
    m_statusText = text;
    ui->statusBar->showMessage(text);
}

void MainWindow::addAdvancedSettingsAction()
{
    m_advancedSettingsAction = new QAction(tr("Дополнительно…"), this);
    m_advancedSettingsAction->setObjectName(QStringLiteral("actionAdvancedSettings"));
    ui->menuSettings->addAction(m_advancedSettingsAction);
    connect(m_advancedSettingsAction, &QAction::triggered, this, [this] {
        auto *dialog = new AdvancedSettingsDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
        dialog->setModal(true);
        // Saved or not: the history and the notifications are what the file now says.
        connect(dialog, &QDialog::finished, this, &MainWindow::applyHistorySettings);
        connect(dialog, &QDialog::finished, m_watchman, &Watchman::applySettings);
        dialog->show();
    });
}

void MainWindow::setupOverview()
{
    auto *viewMenu = new QMenu(tr("Вид"), ui->menuBar);
    viewMenu->setObjectName(QStringLiteral("menuView"));
    QAction *summary = viewMenu->addAction(tr("Сводка по счётчикам"));
    summary->setObjectName(QStringLiteral("actionSummary"));
    QAction *eventLog = viewMenu->addAction(tr("Журнал событий"));
    eventLog->setObjectName(QStringLiteral("actionEventLog"));
    ui->menuBar->insertMenu(ui->menuHelp->menuAction(), viewMenu);
    connect(summary, &QAction::triggered, this, &MainWindow::showSummary);
    connect(eventLog, &QAction::triggered, m_watchman, &Watchman::showEventLog);

    m_onlineCount = new QLabel(ui->statusBar);
    m_onlineCount->setObjectName(QStringLiteral("labelOnlineCount"));
    ui->statusBar->addPermanentWidget(m_onlineCount);
    new StatusMessageLabel(ui->statusBar);

    new ToolTipRefresh(ui->tabWidget->tabBar(), [this](int index) { updateTabToolTip(index); });
    // The watch follows the board's online changes first, and passes them on with its own.
    connect(m_watchman->watch(), &MeterWatch::meterChanged, this, &MainWindow::showMeterChange);
}

void MainWindow::showSummary()
{
    if (!m_summaryWindow) {
        m_summaryWindow = new SummaryWindow(m_board, m_watchman->watch(), this);
        m_summaryWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_summaryWindow, &SummaryWindow::deviceActivated, this, &MainWindow::showDeviceTab);
        auto *history = new QAction(tr("История…"), m_summaryWindow);
        history->setObjectName(QStringLiteral("actionHistory"));
        m_summaryWindow->addRowAction(history);
        connect(history, &QAction::triggered, this,
                [this] { showHistory(m_summaryWindow ? m_summaryWindow->currentDeviceIndex() : -1); });
        auto *maintenance = new QAction(tr("Обслуживание…"), m_summaryWindow);
        maintenance->setObjectName(QStringLiteral("actionMaintenance"));
        m_summaryWindow->addRowAction(maintenance);
        connect(maintenance, &QAction::triggered, this,
                [this] { m_watchman->showMaintenance(m_summaryWindow ? m_summaryWindow->currentDeviceIndex() : -1); });
    }
    m_summaryWindow->show();
    m_summaryWindow->raise();
    m_summaryWindow->activateWindow();
}

void MainWindow::showDeviceTab(int index)
{
    if (index < 0 || index >= ui->tabWidget->count())
        return;
    ui->tabWidget->setCurrentIndex(index);
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void MainWindow::showMeterChange(int index)
{
    updateTabToolTip(index);
    // The icon reads the board when painted; the tab bar only needs painting.
    ui->tabWidget->tabBar()->update(ui->tabWidget->tabBar()->tabRect(index));
    updateOnlineCount();
}

void MainWindow::updateTabToolTip(int index)
{
    if (index < m_board->count())
        ui->tabWidget->setTabToolTip(
            index, meterToolTip(m_board->meter(index), m_watchman->watch()->condition(index), localNow()));
}

void MainWindow::updateOnlineCount()
{
    m_onlineCount->setText(m_watchman->countText());
}

void MainWindow::setupHistory()
{
    m_historyIndicator = new HistoryIndicator(ui->statusBar);
    ui->statusBar->addPermanentWidget(m_historyIndicator);
    startRecorder(SettingsFile().readHistory());
    // Each record of a topic reports its reading; the recorder keeps one per topic and second.
    connect(m_board, &MeterBoard::readingRecorded, this, [this](int index, qint64 receivedMs) {
        const MeterState &meter = m_board->meter(index);
        m_history->record(meter.topic, *meter.reading, receivedMs / 1000);
    });

    m_tabMenu = new QMenu(this);
    QAction *history = m_tabMenu->addAction(tr("История…"));
    history->setObjectName(QStringLiteral("actionHistory"));
    connect(history, &QAction::triggered, this, [this] { showHistory(m_tabMenuIndex); });
    QAction *maintenance = m_tabMenu->addAction(tr("Обслуживание…"));
    maintenance->setObjectName(QStringLiteral("actionMaintenance"));
    connect(maintenance, &QAction::triggered, this, [this] { m_watchman->showMaintenance(m_tabMenuIndex); });
    QTabBar *tabs = ui->tabWidget->tabBar();
    tabs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tabs, &QWidget::customContextMenuRequested, this, &MainWindow::showTabMenu);
}

void MainWindow::startRecorder(const HistorySettings &settings)
{
    m_historySettings = settings;
    m_historyStore = SettingsFile().readHistoryStore();
    // Beside Settings.conf, or in the shared database; without recording,
    // nothing but Settings.conf is written, and a shared history is only read.
    const HistoryTarget target =
        HistoryTarget::of(m_historyStore, settings.enabled, HistoryRecorder::fileNameIn(QDir::currentPath()));
    m_history = std::make_unique<HistoryRecorder>(target, settings.days);
    connect(m_history.get(), &HistoryRecorder::notice, this, &MainWindow::showStatus);
    m_historyIndicator->watch(m_history.get());
    // Recorded, the event log goes into the same file and is kept as long;
    // otherwise it stays in memory. A shared history's log is the plant's,
    // read again as others write it, recording or not.
    const bool shared = bool(target.shared);
    m_watchman->log()->setStore(
        settings.enabled || shared
            ? std::make_unique<RecordedEventStore>(m_history.get(), shared ? RecordedEventStore::kSharedRefreshMs : 0)
            : nullptr);
}

void MainWindow::applyHistorySettings()
{
    const HistorySettings settings = SettingsFile().readHistory();
    if (settings.enabled != m_historySettings.enabled ||
        !SettingsFile().readHistoryStore().sameTarget(m_historyStore)) {
        // Recording on or off, or another shared history, is another store:
        // the history windows, which borrow the recorder, close with it, and
        // the new one starts afresh.
        qDeleteAll(findChildren<HistoryWindow *>(QString(), Qt::FindDirectChildrenOnly));
        m_history.reset();
        startRecorder(settings);
    } else if (settings.days != m_historySettings.days) {
        m_history->setDays(settings.days);
        m_historySettings = settings;
    }
}

void MainWindow::showTabMenu(const QPoint &position)
{
    QTabBar *tabs = ui->tabWidget->tabBar();
    m_tabMenuIndex = tabs->tabAt(position);
    if (m_tabMenuIndex >= 0)
        m_tabMenu->popup(tabs->mapToGlobal(position));
}

void MainWindow::showHistory(int index)
{
    if (index < 0 || index >= int(devices.size()))
        return;
    const DeviceRecord &record = devices[std::size_t(index)];
    // One window per meter: asked again, the open one comes forward.
    HistoryWindow *window = nullptr;
    for (HistoryWindow *open : findChildren<HistoryWindow *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (open->topic() == record.topic)
            window = open;
    }
    if (!window) {
        window = new HistoryWindow(m_history.get(), record.topic, record.name, this);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void MainWindow::setupWatch()
{
    m_watchman = new Watchman(m_board, this);
    connect(m_watchman, &Watchman::statusMessage, this, &MainWindow::showStatus);
    connect(m_watchman, &Watchman::meterRequested, this, &MainWindow::showDeviceTab);
    m_watchman->applySettings();
}

void MainWindow::followSession()
{
    // Only a connection that breaks unasked is an event; one the user ends is not.
    MeterWatch *watch = m_watchman->watch();
    const SessionController::State state = m_session->state();
    if (state == SessionController::State::Connected && !m_sessionConnected)
        watch->brokerConnected();
    else if (state == SessionController::State::Ending)
        watch->brokerClosed();
    else if (m_sessionConnected && state != SessionController::State::Connected)
        watch->brokerLost();
    m_sessionConnected = state == SessionController::State::Connected;
}
