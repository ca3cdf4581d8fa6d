#pragma once

#include "config/settingsfile.h"
#include "mqtt/client.h"

#include <QMainWindow>
#include <QPointer>
#include <QVector>

#include <memory>
#include <vector>

namespace Ui {
class MainWindow;
}
class HistoryIndicator;
class HistoryRecorder;
class QAction;
class MeasDialog;
class MeterBoard;
class QLabel;
class QMenu;
class SessionController;
class SummaryWindow;
class Watchman;

// One registered meter shown in a tab.
struct DeviceRecord
{
    QString name;
    QString topic;
    // The panel stands in the tab widget, but the record owns it: records are
    // destroyed before the window's children, so each panel dies exactly once.
    std::unique_ptr<MeasDialog> panel;

    // The panel shows meter `index` of board.
    DeviceRecord(const QString &deviceName, const QString &deviceTopic, MeterBoard *board, int index);
    ~DeviceRecord();
    DeviceRecord(DeviceRecord &&) noexcept;
    DeviceRecord &operator=(DeviceRecord &&) noexcept;
};

class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QMQTT::Client *mqttClient, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The slot list below is frozen, names, order and argument types alike: the
    // client's signals reach some of them by signature text (see the
    // constructor), the on_ slots are connected by object name, and every slot
    // can be invoked by name through the meta-object system. Slots that do
    // nothing (marked inert) are kept for that reason; do not remove, rename or
    // reorder any of them. docs/design.md lists every frozen name.
private slots:
    void onMQTT_Connected();
    void onMQTT_Connacked(uchar ack); // inert
    void onMQTT_error(QMQTT::ClientError err);
    void onMQTT_Published(QMQTT::Message message);  // inert
    void onMQTT_Pubacked(uchar type, ushort msgid); // inert
    void onMQTT_Received(const QMQTT::Message &message);
    void onMQTT_subscribed(const QString &topic);   // inert
    void onMQTT_subacked(ushort msgid, uchar qos);  // inert
    void onMQTT_unsubscribed(const QString &topic); // inert
    void onMQTT_unsubacked(ushort msgid);           // inert
    void onMQTT_Pong();                             // inert
    void onMQTT_disconnected();
    void on_actionAbout_triggered();
    void on_actionQuit_triggered();
    void aboutApp();
    void publishTopic();   // inert
    void subscribeTopic(); // inert
    void connectServer();  // inert
    void quitApp();
    void clearMsg(); // inert
    void on_actionMQTT_Settings_triggered();
    void on_actionAddNewDevice_triggered();
    void RefreshTabs();
    void on_pushButtonConnect_clicked();

protected:
    bool event(QEvent *event) override;

private:
    // The connect button's text and the settings menus, after the session.
    void applySession();
    void showStatus(const QString &text);

    // "Настройки" → "Дополнительно…", after the form's two entries, locked
    // with them while a session is live.
    void addAdvancedSettingsAction();

    // Beside the window's form: the "Вид" menu, the online count in the
    // status bar, the tab icons and tooltips, and the summary window.
    void setupOverview();
    void showSummary();
    void showDeviceTab(int index);
    void showMeterChange(int index);
    void updateTabToolTip(int index);
    void updateOnlineCount();

    // The history: the recorder fed from the board, "История…" in the tab
    // bar's context menu and on the summary's rows, and the history windows.
    void setupHistory();
    void startRecorder(const HistorySettings &settings);
    // After the connection options dialog: starts or stops recording, or
    // keeps the readings for another number of days, as the file now says.
    void applyHistorySettings();
    void showTabMenu(const QPoint &position);
    void showHistory(int index);

    // Limits, states, maintenance, the event log and notifications: the
    // watchman, fed the session's changes, with "Журнал событий" in "Вид"
    // and "Обслуживание…" beside "История…".
    void setupWatch();
    void followSession();

    // ui, client and devices keep the names under which the design page
    // describes the window; every other member carries the m_ prefix.
    QMQTT::Client *client; // borrowed: the client outlives the window
    Ui::MainWindow *ui;
    QAction *m_advancedSettingsAction = nullptr;
    std::vector<DeviceRecord> devices;
    // The meters' live state, one per record, in the same order; it also
    // routes a topic to its records at a cost that does not grow with their
    // number. A child: it outlives the panels, which the destructor ends first.
    MeterBoard *m_board;
    QLabel *m_onlineCount = nullptr;         // in the status bar
    QString m_statusText;                    // the session's, kept through menus' status tips
    QPointer<SummaryWindow> m_summaryWindow; // deletes itself when closed
    // A child: attempts, automatic reconnection and the status bar's texts.
    SessionController *m_session = nullptr;
    // Every meter's readings, in history.sqlite with [History] Enabled, else
    // the last hour in memory. Outlives the history windows, which borrow it.
    std::unique_ptr<HistoryRecorder> m_history;
    HistorySettings m_historySettings; // what m_history was made for
    HistoryStoreSettings m_historyStore;
    QMenu *m_tabMenu = nullptr; // child
    int m_tabMenuIndex = -1;    // the tab the menu was opened on
    // In the status bar, while the history needs the user's eye.
    HistoryIndicator *m_historyIndicator = nullptr;
    // A child, made before anything that shows its conditions.
    Watchman *m_watchman = nullptr;
    // What the session was when the watch last heard of it.
    bool m_sessionConnected = false;
};
