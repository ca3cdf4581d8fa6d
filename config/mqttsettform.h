#pragma once

#include <QDialog>

namespace Ui {
class MQTTSettForm;
}

// Placeholder until the dialog lands.
class MQTTSettForm final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MQTTSettForm)

public:
    explicit MQTTSettForm(QWidget *parent = nullptr);
    ~MQTTSettForm() override;


private:
    Ui::MQTTSettForm *ui;
};
