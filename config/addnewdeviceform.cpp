#include "config/addnewdeviceform.h"
#include "ui_addnewdeviceform.h"

AddNewDeviceForm::AddNewDeviceForm(QWidget *parent, const QString &, const QString &) : QDialog(parent), ui(new Ui::AddNewDeviceForm)
{
    ui->setupUi(this);
}

AddNewDeviceForm::~AddNewDeviceForm()
{
    delete ui;
}
