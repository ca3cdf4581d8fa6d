#pragma once

#include "mqtt/client.h"

#include <QHash>
#include <QMainWindow>
#include <QVector>

#include <memory>
#include <vector>

namespace Ui {
class MainWindow;
}
class DeviceListDialog;
class MQTTSettForm;
class MeasDialog;
class QLabel;

// One registered meter shown in a tab.
struct DeviceRecord
{
    QString name;
    QString topic;
    // The panel stands in the tab widget, but the record owns it: records are
    // destroyed before the window's children, so each panel dies exactly once.
    std::unique_ptr<MeasDialog> panel;

    DeviceRecord(const QString &name, const QString &topic);
    ~DeviceRecord();
    DeviceRecord(DeviceRecord &&) noexcept;
    DeviceRecord &operator=(DeviceRecord &&) noexcept;
};

class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QMQTT::Client *client, QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void onMQTT_Connected();
    void onMQTT_Connacked(uchar ack);
    void onMQTT_error(QMQTT::ClientError err);
    void onMQTT_Published(QMQTT::Message message);
    void onMQTT_Pubacked(uchar type, ushort msgid);
    void onMQTT_Received(const QMQTT::Message &message);
    void onMQTT_subscribed(const QString &topic);
    void onMQTT_subacked(ushort msgid, uchar qos);
    void onMQTT_unsubscribed(const QString &topic);
    void onMQTT_unsubacked(ushort msgid);
    void onMQTT_Pong();
    void onMQTT_disconnected();
    void on_actionAbout_triggered();
    void on_actionQuit_triggered();
    void aboutApp();
    void publishTopic();
    void subscribeTopic();
    void connectServer();
    void quitApp();
    void clearMsg();
    void on_actionMQTT_Settings_triggered();
    void on_actionAddNewDevice_triggered();
    void RefreshTabs();
    void on_pushButtonConnect_clicked();

private:
    // What the session is doing, as far as the window is concerned. The
    // client reports failures only through error(), so "attempting" must be
    // remembered here to know when the configuration menus may come back.
    enum class Session { Idle, Attempting, Connected, Ending };

    void setSession(Session session);
    void showStatus(const QString &text);

    QMQTT::Client *client;
    Ui::MainWindow *ui;
    MQTTSettForm *settingsDialog = nullptr;
    DeviceListDialog *deviceListDialog = nullptr;
    std::vector<DeviceRecord> devices;
    // Topic -> indices into devices, in record order, so routing a message
    // costs the same whatever the number of meters.
    QHash<QString, QVector<int>> recordsByTopic;
    Session session = Session::Idle;
    QString brokerHost;
    int brokerPort = 0;
};
