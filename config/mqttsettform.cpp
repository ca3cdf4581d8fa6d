#include "config/mqttsettform.h"
#include "ui_mqttsettform.h"

MQTTSettForm::MQTTSettForm(QWidget *parent) : QDialog(parent), ui(new Ui::MQTTSettForm)
{
    ui->setupUi(this);
}

MQTTSettForm::~MQTTSettForm()
{
    delete ui;
}
