#include "config/devicelistdialog.h"
#include "ui_devicelistdialog.h"

#include "config/addnewdeviceform.h"
#include "config/settingsfile.h"

#include <QCloseEvent>
#include <QMessageBox>

DeviceListDialog::DeviceListDialog(QWidget *parent) : QDialog(parent), ui(new Ui::DeviceListDialog)
{
    ui->setupUi(this);
    LoadDeviceList();
}

DeviceListDialog::~DeviceListDialog()
{
    delete ui;
}

void DeviceListDialog::LoadDeviceList()
{
    // A failed compaction loses nothing: the incomplete entries it would drop
    // are ignored by every reader anyway, so the list is right either way.
    showNames(SettingsFile().compactDeviceList().names);
}

void DeviceListDialog::StoreDevice(QString name, QString topic)
{
    const int row = m_editedRow;
    m_editedRow = -1;
    // An edit replaces the device it was opened for, wherever the new name
    // and topic point; only an added device follows the replace-or-append rule.
    const SettingsFile file;
    showResult(row < 0 ? file.storeDevice(name, topic) : file.replaceDeviceAt(row, name, topic));
}

void DeviceListDialog::done(int result)
{
    announceExit();
    QDialog::done(result);
}

void DeviceListDialog::closeEvent(QCloseEvent *)
{
    announceExit();
}

void DeviceListDialog::on_pushAddd_clicked()
{
    m_editedRow = -1;
    openEntryForm(QString(), QString());
}

void DeviceListDialog::on_pushButtonCancel_clicked()
{
    close();
}

void DeviceListDialog::on_pushButtonRemove_clicked()
{
    // The selected row, not the current one: the list makes its first row
    // current as soon as it takes the focus, before the user has picked any.
    const QList<QListWidgetItem *> selected = ui->listWidget->selectedItems();
    if (selected.isEmpty())
        return;
    // By row, not by name: names need not be unique.
    showResult(SettingsFile().removeDeviceAt(ui->listWidget->row(selected.first())));
}

void DeviceListDialog::on_listWidget_itemDoubleClicked(QListWidgetItem *item)
{
    m_editedRow = ui->listWidget->row(item);
    const DeviceEntry device = SettingsFile().deviceAt(m_editedRow);
    openEntryForm(device.name, device.topic);
}

void DeviceListDialog::openEntryForm(const QString &name, const QString &topic)
{
    auto *form = new AddNewDeviceForm(this, name, topic);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->setWindowFlags(form->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    form->setModal(true);
    connect(form, &AddNewDeviceForm::SetItem, this, &DeviceListDialog::StoreDevice);
    form->show();
}

void DeviceListDialog::showResult(const DeviceListResult &result)
{
    showNames(result.names);
    if (result.status == WriteResult::Written)
        return;

    auto *box = new QMessageBox(QMessageBox::Warning, tr("Ошибка записи"),
                                tr("Не удалось записать изменения в файл Settings.conf, они не сохранены.\n"
                                   "Список показывает устройства, которые записаны в файле."),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// Rows are matched to devices by position, never by text, so a shortened
// name stands for its device as well as the whole one would.
void DeviceListDialog::showNames(const QStringList &names)
{
    ui->listWidget->clear();
    for (const QString &name : names)
        ui->listWidget->addItem(shownDeviceName(name));
}

// The main window rebuilds its tabs on ExitAction, however the dialog ends,
// and only once: a close() after done() would deliver a second close event.
void DeviceListDialog::announceExit()
{
    if (m_exitAnnounced)
        return;
    m_exitAnnounced = true;
    emit ExitAction();
}
