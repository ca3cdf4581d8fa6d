#include "common/scratchdirectory.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {
const QString settingsFile = QStringLiteral("Settings.conf");
}

ScratchDirectory::ScratchDirectory() : m_previous(QDir::currentPath())
{
    m_entered = m_dir.isValid() && QDir::setCurrent(m_dir.path());
}

ScratchDirectory::~ScratchDirectory()
{
    QDir::setCurrent(m_previous);
}

QByteArray settingsFileText()
{
    QFile file(settingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<no file>");
    return file.readAll();
}

void writeSettingsFileText(const QByteArray &text)
{
    QFile file(settingsFile);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), qint64(text.size()));
}
