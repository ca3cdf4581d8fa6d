#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "config/devicelistdialog.h"
#include "config/mqttsettform.h"
#include "config/settingsfile.h"
#include "measurement/measdialog.h"

#include <QCoreApplication>
#include <QMessageBox>

DeviceRecord::DeviceRecord(const QString &name, const QString &topic)
    : name(name), topic(topic), panel(std::make_unique<MeasDialog>())
{
}

DeviceRecord::~DeviceRecord() = default;
DeviceRecord::DeviceRecord(DeviceRecord &&) noexcept = default;
DeviceRecord &DeviceRecord::operator=(DeviceRecord &&) noexcept = default;

MainWindow::MainWindow(QMQTT::Client *client, QWidget *parent)
    : QMainWindow(parent), client(client), ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    connect(client, SIGNAL(connected()), this, SLOT(onMQTT_Connected()));
    connect(client, SIGNAL(received(const QMQTT::Message &)), this, SLOT(onMQTT_Received(const QMQTT::Message &)));
    connect(client, SIGNAL(subscribed(const QString &)), this, SLOT(onMQTT_subscribed(const QString &)));
    connect(client, SIGNAL(disconnected()), this, SLOT(onMQTT_disconnected()));

    RefreshTabs();
}

MainWindow::~MainWindow()
{
    // Panels first: they stand in the tab widget, which ui's widgets own.
    recordsByTopic.clear();
    devices.clear();
    delete ui;
}

void MainWindow::onMQTT_Connected()
{
    ui->pushButtonConnect->setText(tr("Отключиться"));
    for (const DeviceRecord &record : devices) {
        if (!record.topic.isEmpty())
            client->subscribe(record.topic, 0);
    }
}

void MainWindow::onMQTT_Connacked(uchar) {}
void MainWindow::onMQTT_error(QMQTT::ClientError) {}
void MainWindow::onMQTT_Published(QMQTT::Message) {}
void MainWindow::onMQTT_Pubacked(uchar, ushort) {}

void MainWindow::onMQTT_Received(const QMQTT::Message &message)
{
    const auto found = recordsByTopic.constFind(message.topic());
    if (found == recordsByTopic.constEnd())
        return;

    // A meter's text ends at the first zero byte, if it has one.
    const QByteArray payload = message.payload();
    const int end = payload.indexOf('\0');
    const QString text = QString::fromUtf8(payload.constData(), end < 0 ? payload.size() : end);
    for (int index : *found)
        devices[index].panel->ShowPayload(text);
}

void MainWindow::onMQTT_subscribed(const QString &) {}
void MainWindow::onMQTT_subacked(ushort, uchar) {}
void MainWindow::onMQTT_unsubscribed(const QString &) {}
void MainWindow::onMQTT_unsubacked(ushort) {}
void MainWindow::onMQTT_Pong() {}

void MainWindow::onMQTT_disconnected()
{
    ui->pushButtonConnect->setText(tr("Подключиться"));
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
                             tr("Версия: 0.1.1\n"
                                "\n"
                                "MQTT клиент для счётчиков нарабоки Zelmar\n"
                                "https://zelmar.example/mqtt-client\n"
                                "© 2026 Zelmar. Все права защищены."),
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
    settingsDialog = new MQTTSettForm(this);
    settingsDialog->setAttribute(Qt::WA_DeleteOnClose);
    settingsDialog->setWindowFlags(settingsDialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    settingsDialog->setModal(true);
    settingsDialog->show();
}

void MainWindow::on_actionAddNewDevice_triggered()
{
    deviceListDialog = new DeviceListDialog(this);
    deviceListDialog->setAttribute(Qt::WA_DeleteOnClose);
    deviceListDialog->setWindowFlags(deviceListDialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    deviceListDialog->setModal(true);
    connect(deviceListDialog, &DeviceListDialog::ExitAction, this, &MainWindow::RefreshTabs);
    deviceListDialog->show();
}

void MainWindow::RefreshTabs()
{
    const QVector<DeviceEntry> entries = SettingsFile().readDevices();

    // Destroying a panel takes its tab with it.
    recordsByTopic.clear();
    devices.clear();
    ui->tabWidget->clear();

    devices.reserve(entries.size());
    for (const DeviceEntry &entry : entries) {
        devices.emplace_back(entry.name, entry.topic);
        const int index = int(devices.size()) - 1;
        ui->tabWidget->addTab(devices.back().panel.get(), entry.name);
        recordsByTopic[entry.topic].append(index);
    }
}

void MainWindow::on_pushButtonConnect_clicked()
{
    if (client->isConnectedToHost()) {
        client->disconnectFromHost();
        ui->actionAddNewDevice->setEnabled(true);
        ui->actionMQTT_Settings->setEnabled(true);
        return;
    }

    const BrokerSettings settings = SettingsFile().readBrokerForConnecting();
    client->setHost(QHostAddress(settings.host));
    client->setPort(quint16(settings.port));
    client->setKeepAlive(300);
    if (!settings.clientId.isEmpty())
        client->setClientId(settings.clientId);
    if (!settings.username.isEmpty())
        client->setUsername(settings.username);
    if (!settings.password.isEmpty())
        client->setPassword(settings.password.toUtf8());
    client->connectToHost();
    ui->actionAddNewDevice->setEnabled(false);
    ui->actionMQTT_Settings->setEnabled(false);
}
