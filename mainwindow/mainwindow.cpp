#include "mainwindow/mainwindow.h"
#include "ui_mainwindow.h"

#include "config/devicelistdialog.h"
#include "config/mqttsettform.h"
#include "config/settingsfile.h"
#include "measurement/measdialog.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

// A visible tab widget lays out its whole tab bar whenever a tab comes or
// goes, and shows the next page (touching every page) whenever the current one
// goes: tab by tab, that is quadratic in the number of meters, seconds for a
// thousand. Hidden, it lays out once, when shown again; and pages removed from
// the last, with the first one current, never make another one current. No
// event is processed in between, so none of this is ever seen.
class TabsPause final
{
public:
    explicit TabsPause(QTabWidget *tabs) : tabs(tabs), wasVisible(tabs->isVisible())
    {
        if (wasVisible)
            tabs->hide();
    }
    ~TabsPause()
    {
        if (wasVisible)
            tabs->show();
    }
    Q_DISABLE_COPY_MOVE(TabsPause)

private:
    QTabWidget *const tabs;
    const bool wasVisible;
};

void destroyPanels(QTabWidget *tabs, std::vector<DeviceRecord> &devices)
{
    if (tabs->count() > 0)
        tabs->setCurrentIndex(0);
    while (!devices.empty())
        devices.pop_back();
}

} // namespace

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
    // Without this the user would never learn why a connection failed.
    connect(client, SIGNAL(error(QMQTT::ClientError)), this, SLOT(onMQTT_error(QMQTT::ClientError)));

    RefreshTabs();
}

MainWindow::~MainWindow()
{
    // Panels first: they stand in the tab widget, which ui's widgets own.
    // Hidden, it does not lay out its bar again for every panel that goes.
    recordsByTopic.clear();
    ui->tabWidget->hide();
    destroyPanels(ui->tabWidget, devices);
    delete ui;
}

void MainWindow::onMQTT_Connected()
{
    setSession(Session::Connected);
    showStatus(tr("Подключено к %1:%2").arg(brokerHost).arg(brokerPort));
    for (const DeviceRecord &record : devices) {
        if (!record.topic.isEmpty())
            client->subscribe(record.topic, 0);
    }
}

void MainWindow::onMQTT_Connacked(uchar) {}
void MainWindow::onMQTT_error(QMQTT::ClientError err)
{
    const QString target = QStringLiteral("%1:%2").arg(brokerHost).arg(brokerPort);
    switch (err) {
    case QMQTT::MqttNotAuthorizedError:
        showStatus(tr("Брокер отклонил имя пользователя или пароль"));
        break;
    case QMQTT::SocketConnectionRefusedError:
        showStatus(tr("Соединение отклонено: %1").arg(target));
        break;
    case QMQTT::SocketHostNotFoundError:
        showStatus(tr("Узел не найден: %1").arg(brokerHost));
        break;
    case QMQTT::SocketTimeoutError:
        showStatus(tr("Нет ответа от %1").arg(target));
        break;
    case QMQTT::SocketRemoteHostClosedError:
        showStatus(tr("Соединение с %1 потеряно").arg(target));
        break;
    case QMQTT::MqttInvalidSettingsError:
        showStatus(tr("Пароль задан без имени пользователя"));
        break;
    case QMQTT::MqttIdentifierRejectedError:
        showStatus(tr("Брокер отклонил идентификатор клиента"));
        break;
    default:
        showStatus(tr("Ошибка соединения с %1").arg(target));
        break;
    }
    if (session == Session::Attempting)
        setSession(Session::Idle);
}
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
    showStatus(session == Session::Ending ? tr("Отключено")
                                          : tr("Соединение с %1:%2 потеряно").arg(brokerHost).arg(brokerPort));
    setSession(Session::Idle);
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

    const TabsPause pause(ui->tabWidget);
    // Destroying a panel takes its tab with it.
    recordsByTopic.clear();
    destroyPanels(ui->tabWidget, devices);
    ui->tabWidget->clear();

    devices.reserve(entries.size());
    for (const DeviceEntry &entry : entries) {
        devices.emplace_back(entry.name, entry.topic);
        const int index = int(devices.size()) - 1;
        ui->tabWidget->addTab(devices.back().panel.get(), shownDeviceName(entry.name));
        recordsByTopic[entry.topic].append(index);
    }
}

void MainWindow::on_pushButtonConnect_clicked()
{
    if (client->isConnectedToHost()) {
        setSession(Session::Ending);
        client->disconnectFromHost();
        return;
    }

    const BrokerSettings settings = SettingsFile().readBrokerForConnecting();
    const QString host = settings.host.trimmed();
    if (host.isEmpty()) {
        showStatus(tr("Не задан адрес сервера MQTT"));
        return;
    }
    if (settings.port < 1 || settings.port > 65535) {
        showStatus(tr("Недопустимый порт MQTT: %1").arg(settings.port));
        return;
    }

    // The status bar names the host; no real host name is longer than 253
    // characters, and a hand-edited file must not hang the window on its text.
    brokerHost = host.size() > 253 ? host.left(252) + QChar(0x2026) : host;
    brokerPort = settings.port;
    const QHostAddress address(host);
    if (address.isNull())
        client->setHostName(host);
    else
        client->setHost(address);
    client->setPort(quint16(brokerPort));
    client->setKeepAlive(300);
    // Empty values are passed on too, so that a value cleared in the
    // settings is really gone from the next connection.
    client->setClientId(settings.clientId);
    client->setUsername(settings.username);
    client->setPassword(settings.password.toUtf8());

    setSession(Session::Attempting);
    showStatus(tr("Подключение к %1:%2…").arg(brokerHost).arg(brokerPort));
    client->connectToHost();
}

void MainWindow::setSession(Session next)
{
    session = next;
    // The device list and broker settings must not change under a live
    // session (the subscriptions were made from them), but must be editable
    // whenever there is none, so that failed settings can be corrected.
    const bool editable = session == Session::Idle || session == Session::Ending;
    ui->actionAddNewDevice->setEnabled(editable);
    ui->actionMQTT_Settings->setEnabled(editable);
    const bool live = session == Session::Connected || session == Session::Ending;
    ui->pushButtonConnect->setText(live ? tr("Отключиться") : tr("Подключиться"));
}

void MainWindow::showStatus(const QString &text)
{
    ui->statusBar->showMessage(text);
}
