#include "common/windowtest.h"

#include "common/widgets.h"
#include "session/sessioncontroller.h"

#include <QPushButton>

void WindowTest::init()
{
    ScratchDirectoryTest::init();
    m_client = std::make_unique<QMQTT::Client>();
}

void WindowTest::cleanup()
{
    m_window.reset();
    m_client.reset();
    ScratchDirectoryTest::cleanup();
}

void WindowTest::startWindow()
{
    m_window = std::make_unique<MainWindow>(m_client.get());
    m_window->show();
}

void WindowTest::clickConnect() const
{
    click(m_window.get(), QStringLiteral("pushButtonConnect"));
}

QString WindowTest::status() const
{
    return statusText(m_window.get());
}

QString WindowTest::buttonText() const
{
    return child<QPushButton>(m_window.get(), QStringLiteral("pushButtonConnect"))->text();
}

bool WindowTest::menusEnabled() const
{
    return settingsMenusEnabled(m_window.get());
}

QString WindowTest::label(int tab, const QString &name) const
{
    return labelText(tabPage(m_window.get(), tab), name);
}

SessionController *WindowTest::session() const
{
    return child<SessionController>(m_window.get(), QStringLiteral("sessionController"));
}
