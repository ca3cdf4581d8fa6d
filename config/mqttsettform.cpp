#include "config/mqttsettform.h"
#include "ui_mqttsettform.h"

#include "config/settingsfile.h"
#include "config/textfit.h"

#include <QMessageBox>

MQTTSettForm::MQTTSettForm(QWidget *parent) : QDialog(parent), ui(new Ui::MQTTSettForm)
{
    ui->setupUi(this);
    // The two buttons share 150 pixels, too few for "Сохранить" in Debian's font.
    fitButtonRow(this, ui->splitter, ui->groupBox->x());

    const BrokerSettings broker = SettingsFile().readBrokerForEditing();
    ui->leHost->setText(broker.host);
    // The spin box keeps the port within 1..65535, whatever the file says.
    ui->sbPort->setValue(broker.port);
    ui->leClientId->setText(broker.clientId);
    ui->leUser->setText(broker.username);
    ui->lePasswd->setText(broker.password);
}

MQTTSettForm::~MQTTSettForm()
{
    delete ui;
}

void MQTTSettForm::on_SetttSaveButton_clicked()
{
    BrokerSettings broker;
    broker.host = ui->leHost->text();
    broker.clientId = ui->leClientId->text();
    broker.username = ui->leUser->text();
    broker.password = ui->lePasswd->text();
    broker.port = ui->sbPort->value();
    if (SettingsFile().writeBroker(broker) == WriteResult::Written) {
        close();
        return;
    }

    // The typed values stay in the fields, so the user can save again once
    // the file is writable.
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Ошибка записи"),
                                tr("Не удалось сохранить настройки в файл Settings.conf.\n"
                                   "Проверьте, что файл доступен для записи, и сохраните ещё раз."),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MQTTSettForm::on_SetttCancelButton_clicked()
{
    close();
}
