#include "config/advancedsettingsdialog.h"
#include "ui_advancedsettingsdialog.h"

#include "config/settingsfile.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

AdvancedSettingsDialog::AdvancedSettingsDialog(QWidget *parent) : QDialog(parent), ui(new Ui::AdvancedSettingsDialog)
{
    ui->setupUi(this);

    const AdvancedSettings stored = SettingsFile().readAdvancedSettings();
    const ConnectionOptions &options = stored.options;
    ui->cbAutoReconnect->setChecked(options.autoReconnect);
    ui->cbConnectOnStart->setChecked(options.connectOnStart);
    ui->sbKeepAlive->setValue(options.keepAlive);
    ui->cbTls->setChecked(options.tls);
    ui->leCaFile->setText(options.caFile);
    ui->leCertFile->setText(options.certFile);
    ui->leKeyFile->setText(options.keyFile);
    ui->cbTlsVerifyHost->setChecked(options.tlsVerifyHost);
    m_storedPaths = QStringList{options.caFile, options.certFile, options.keyFile};
    ui->cbHistoryEnabled->setChecked(stored.history.enabled);
    ui->sbHistoryDays->setValue(stored.history.days);
    ui->cbNotifyDesktop->setChecked(stored.notify.desktop);
    ui->cbNotifyTray->setChecked(stored.notify.tray);

    // The days mean nothing while no history is kept.
    ui->sbHistoryDays->setEnabled(stored.history.enabled);
    connect(ui->cbHistoryEnabled, &QCheckBox::toggled, ui->sbHistoryDays, &QWidget::setEnabled);

    connect(ui->pushButtonSave, &QPushButton::clicked, this, &AdvancedSettingsDialog::save);
    connect(ui->pushButtonCancel, &QPushButton::clicked, this, &QDialog::close);
    connect(ui->toolButtonCaFile, &QToolButton::clicked, this,
            [this] { choosePath(ui->leCaFile, tr("Сертификаты центра сертификации")); });
    connect(ui->toolButtonCertFile, &QToolButton::clicked, this,
            [this] { choosePath(ui->leCertFile, tr("Сертификат клиента")); });
    connect(ui->toolButtonKeyFile, &QToolButton::clicked, this,
            [this] { choosePath(ui->leKeyFile, tr("Ключ клиента")); });
}

AdvancedSettingsDialog::~AdvancedSettingsDialog()
{
    delete ui;
}

void AdvancedSettingsDialog::choosePath(QLineEdit *edit, const QString &title)
{
    // Opened, not exec()'d: the dialog stays responsive, and so do tests.
    auto *chooser = new QFileDialog(this, title, QFileInfo(edit->text()).absolutePath(),
                                    tr("Файлы PEM (*.pem *.crt *.cer *.key);;Все файлы (*)"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setFileMode(QFileDialog::ExistingFile);
    if (!edit->text().isEmpty())
        chooser->selectFile(edit->text());
    connect(chooser, &QFileDialog::fileSelected, edit, &QLineEdit::setText);
    chooser->open();
}

QString AdvancedSettingsDialog::refusal() const
{
    const int keepAlive = ui->sbKeepAlive->value();
    if (keepAlive < ConnectionOptions::kMinKeepAlive || keepAlive > ConnectionOptions::kMaxKeepAlive)
        return tr("Keep-alive: допустимо от %1 до %2 с.")
            .arg(ConnectionOptions::kMinKeepAlive)
            .arg(ConnectionOptions::kMaxKeepAlive);
    const struct
    {
        const QLineEdit *edit;
        QString field;
        QString stored;
    } paths[] = {{ui->leCaFile, tr("Сертификаты CA"), m_storedPaths.value(0)},
                 {ui->leCertFile, tr("Сертификат клиента"), m_storedPaths.value(1)},
                 {ui->leKeyFile, tr("Ключ клиента"), m_storedPaths.value(2)}};
    // Without TLS no file is opened: one moved away since it was chosen must not keep the
    // other settings from being saved. A path typed now is checked all the same, as the user
    // is evidently setting TLS up.
    const bool tls = ui->cbTls->isChecked();
    for (const auto &path : paths) {
        const QString text = path.edit->text();
        const QFileInfo file(text);
        if (!tls && text == path.stored)
            continue;
        if (!text.isEmpty() && !(file.isFile() && file.isReadable()))
            return tr("%1: файл не найден или не читается:\n%2").arg(path.field, text);
    }
    if (ui->leCertFile->text().isEmpty() != ui->leKeyFile->text().isEmpty()) {
        return ui->leKeyFile->text().isEmpty() ? tr("Сертификат клиента задан без ключа.")
                                               : tr("Ключ клиента задан без сертификата.");
    }
    return QString();
}

void AdvancedSettingsDialog::save()
{
    const QString refused = refusal();
    if (!refused.isEmpty()) {
        warn(tr("Недопустимое значение"), refused);
        return;
    }

    AdvancedSettings settings;
    ConnectionOptions &options = settings.options;
    options.autoReconnect = ui->cbAutoReconnect->isChecked();
    options.connectOnStart = ui->cbConnectOnStart->isChecked();
    options.keepAlive = ui->sbKeepAlive->value();
    options.tls = ui->cbTls->isChecked();
    options.caFile = ui->leCaFile->text();
    options.certFile = ui->leCertFile->text();
    options.keyFile = ui->leKeyFile->text();
    options.tlsVerifyHost = ui->cbTlsVerifyHost->isChecked();
    settings.history.enabled = ui->cbHistoryEnabled->isChecked();
    settings.history.days = ui->sbHistoryDays->value();
    settings.notify.desktop = ui->cbNotifyDesktop->isChecked();
    settings.notify.tray = ui->cbNotifyTray->isChecked();
    if (SettingsFile().writeAdvancedSettings(settings) == WriteResult::Written) {
        close();
        return;
    }
    // The typed values stay in the fields, so the user can save again.
    warn(tr("Ошибка записи"), tr("Не удалось сохранить настройки в файл Settings.conf.\n"
                                 "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
}

void AdvancedSettingsDialog::warn(const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
