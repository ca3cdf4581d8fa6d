#include "common/testcertificates.h"

#include <QFile>
#include <QProcess>

namespace {

const QStringList kNewKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

} // namespace

QString TestCertificates::path(const char *name) const
{
    return m_dir.filePath(QLatin1String(name));
}

bool TestCertificates::run(const QStringList &args) const
{
    QProcess openssl;
    openssl.setWorkingDirectory(m_dir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), args);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        qWarning("TestCertificates: openssl %s failed: %s", qPrintable(args.join(QLatin1Char(' '))),
                 openssl.readAll().constData());
        return false;
    }
    return true;
}

bool TestCertificates::makeCa(const QString &name, const QString &commonName) const
{
    return run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")}
               << kNewKey
               << QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                              name + QStringLiteral(".crt"), QStringLiteral("-days"), QStringLiteral("2"),
                              QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName, QStringLiteral("-addext"),
                              QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                              QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool TestCertificates::makeSigned(const QString &name, const QString &commonName, const QString &extensions) const
{
    QFile extensionFile(m_dir.filePath(name + QStringLiteral(".ext")));
    if (!extensionFile.open(QIODevice::WriteOnly) || extensionFile.write(extensions.toUtf8()) < 0)
        return false;
    extensionFile.close();
    return run(QStringList{QStringLiteral("req")}
               << kNewKey
               << QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                              name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                              QStringLiteral("/CN=") + commonName}) &&
           run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                QStringLiteral("-CA"), QStringLiteral("ca.crt"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), name + QStringLiteral(".crt"),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), extensionFile.fileName()});
}

bool TestCertificates::create()
{
    return m_dir.isValid() && makeCa(QStringLiteral("ca"), QStringLiteral("Zelmar Test CA")) &&
           makeCa(QStringLiteral("other-ca"), QStringLiteral("Some Other CA")) &&
           makeSigned(QStringLiteral("broker"), QStringLiteral("localhost"),
                      QStringLiteral("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")) &&
           makeSigned(QStringLiteral("client"), QStringLiteral("meter panel"),
                      QStringLiteral("extendedKeyUsage=clientAuth\n"));
}
