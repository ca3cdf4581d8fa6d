#include "config/devicelistdialog.h"
#include "ui_devicelistdialog.h"

DeviceListDialog::DeviceListDialog(QWidget *parent) : QDialog(parent), ui(new Ui::DeviceListDialog)
{
    ui->setupUi(this);
}

DeviceListDialog::~DeviceListDialog()
{
    delete ui;
}
