#include "common/scratchdirectory.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

namespace {
const QString kSettingsFile = QStringLiteral("Settings.conf");
}

ScratchDirectory::ScratchDirectory() : m_previous(QDir::currentPath())
{
    m_entered = m_dir.isValid() && QDir::setCurrent(m_dir.path());
}

ScratchDirectory::~ScratchDirectory()
{
    unlockSettingsFile();
    QDir::setCurrent(m_previous);
}

bool ScratchDirectory::lockSettingsFile()
{
    m_locked = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_dir.filePath(kSettingsFile)}) == 0;
    return m_locked;
}

bool ScratchDirectory::unlockSettingsFile()
{
    if (!m_locked)
        return true;
    m_locked = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_dir.filePath(kSettingsFile)}) != 0;
    return !m_locked;
}

QByteArray settingsFileText()
{
    QFile file(kSettingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<no file>");
    return file.readAll();
}

void writeSettingsFileText(const QByteArray &text)
{
    QFile file(kSettingsFile);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), qint64(text.size()));
}

qint64 settingsFileIdentity()
{
    struct stat status = {};
    if (::stat(qPrintable(kSettingsFile), &status) != 0)
        return -1;
    return qint64(status.st_ino);
}
