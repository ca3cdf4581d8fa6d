#pragma once

#include <QDialog>
#include <QStringList>

namespace Ui {
class DeviceListDialog;
}
class QListWidgetItem;
struct DeviceListResult;

// Lists the registered devices by name and adds, edits and removes them.
// Every change goes to the configuration file at once; the list shows what
// the file holds. When the dialog goes away it says so through ExitAction,
// so that the main window can rebuild its tabs from the file.
class DeviceListDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DeviceListDialog)

public:
    explicit DeviceListDialog(QWidget *parent = nullptr);
    ~DeviceListDialog() override;

    // Frozen names: the entry form's SetItem is connected to StoreDevice, and
    // both are part of the dialog's interface as other code knows it.
    void LoadDeviceList();
    void StoreDevice(QString name, QString topic);

    // Escape and accept()/reject() end the dialog without a close event.
    void done(int result) override;

signals:
    void ExitAction();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    // The add button's object name, pushAddd, is frozen like every object
    // name of the form; the slot is found by it.
    void on_pushAddd_clicked();
    void on_pushButtonCancel_clicked();
    void on_pushButtonRemove_clicked();
    void on_listWidget_itemDoubleClicked(QListWidgetItem *item);

private:
    void openEntryForm(const QString &name, const QString &topic);
    void showResult(const DeviceListResult &result);
    void showNames(const QStringList &names);
    void announceExit();

    Ui::DeviceListDialog *ui;
    // The row that the open entry form edits, or -1 while it adds a device.
    int m_editedRow = -1;
    bool m_exitAnnounced = false;
};
