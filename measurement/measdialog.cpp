#include "measurement/measdialog.h"
#include "ui_measdialog.h"

#include <QTimer>

// Placeholder until the panel lands.
MeasDialog::MeasDialog(QWidget *parent) : QDialog(parent), ui(new Ui::MeasDialog), timer(new QTimer)
{
    ui->setupUi(this);
}

MeasDialog::~MeasDialog()
{
    delete ui;
    delete timer;
}

void MeasDialog::ShowPayload(const QString &) {}
void MeasDialog::slotTimerAlarm() {}
