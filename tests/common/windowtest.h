#pragma once

#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/testbroker.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QString>

#include <memory>

class SessionController;

// A suite that drives the whole program: every test gets, in its scratch working directory, a
// client of its own and, once startWindow() makes it, the main window over it; cleanup() ends
// them in the order main() does, the window before the client. The private broker m_broker is
// started by the suites that need one, in initTestCase().
class WindowTest : public ScratchDirectoryTest
{
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    // Makes the main window from the Settings.conf of now and shows it.
    void startWindow();
    // Settings.conf naming the broker's anonymous listener.
    SettingsText settings() const { return SettingsText().broker("127.0.0.1", m_broker.port()); }

    // The window as its user sees and drives it.
    void clickConnect() const;
    QString status() const;
    QString buttonText() const;
    bool menusEnabled() const;
    // The text of the label `name` on the panel of tab `tab`.
    QString label(int tab, const QString &name) const;
    SessionController *session() const;

    TestBroker m_broker;
    std::unique_ptr<QMQTT::Client> m_client;
    std::unique_ptr<MainWindow> m_window;
};
