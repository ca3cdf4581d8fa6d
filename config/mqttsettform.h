#pragma once

#include <QDialog>

namespace Ui {
class MQTTSettForm;
}

// Edits the broker connection settings kept in the configuration file; they
// take effect at the next connection.
class MQTTSettForm final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MQTTSettForm)

public:
    explicit MQTTSettForm(QWidget *parent = nullptr);
    ~MQTTSettForm() override;

private slots:
    // "Settt" is not a typo to fix: the object names of the two buttons are
    // frozen (the slots below are found by them, and so are the buttons by
    // whoever drives the form), so the slot names follow them.
    void on_SetttSaveButton_clicked();
    void on_SetttCancelButton_clicked();

private:
    Ui::MQTTSettForm *ui;
};
