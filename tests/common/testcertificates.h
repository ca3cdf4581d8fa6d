#pragma once

#include <QString>
#include <QTemporaryDir>

// Certificates for TLS tests, made afresh with Debian's `openssl` command in a
// temporary directory: a CA, a broker certificate it signed for "localhost"
// only (DNS name, no IP address, so that a connection to 127.0.0.1 does not
// match it), a client certificate it signed, and a second CA that signed
// nothing. Keys are P-256, quick to make; all files are PEM.
class TestCertificates final
{
public:
    TestCertificates() = default;
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;

    // Makes every file; false (with a warning saying why) if openssl failed.
    bool create();

    QString caFile() const { return path("ca.crt"); }
    QString otherCaFile() const { return path("other-ca.crt"); }
    QString brokerCertFile() const { return path("broker.crt"); }
    QString brokerKeyFile() const { return path("broker.key"); }
    QString clientCertFile() const { return path("client.crt"); }
    QString clientKeyFile() const { return path("client.key"); }

private:
    QString path(const char *name) const;
    bool run(const QStringList &args) const;
    bool makeCa(const QString &name, const QString &commonName) const;
    bool makeSigned(const QString &name, const QString &commonName, const QString &extensions) const;

    QTemporaryDir m_dir;
};
