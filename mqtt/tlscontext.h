#pragma once

#include "mqtt/client.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct ssl_ctx_st;
struct ssl_st;

namespace QMQTT {

// The OpenSSL context that libmosquitto's TLS runs on, and what a handshake
// on it showed. The client hands the context to the library for each attempt
// (see configure()), passes on the library's log while the handshake runs,
// and asks here whether and why it failed.
class TlsContext final
{
public:
    struct Failure
    {
        ClientError error = TlsError;
        TlsProblem problem = TlsProblem::None;
        QString detail; // the TLS library's own words (English), if it had any
    };

    TlsContext();
    ~TlsContext();
    Q_DISABLE_COPY_MOVE(TlsContext)

    // Makes a new context: the CA (or the system's store), the client
    // certificate and key, and `host`, as written in the settings, as the name
    // the broker's certificate must carry and the one the hello names.
    InvalidSetting configure(const TlsSettings &settings, const QString &host);
    // The context configure() made, for the library, which takes a reference
    // of its own; null after a refusal.
    ssl_ctx_st *context() const { return m_context.get(); }

    // Forgets what the last handshake showed; before each address.
    void startHandshake();
    // A line of the library's log: it names OpenSSL's errors only there.
    void noteLogLine(const char *line);
    // Whether the connection ended because of TLS. libraryBlamesTls: the
    // library said so itself; peerClosed: the broker closed or reset it.
    bool failed(bool libraryBlamesTls, bool peerClosed) const;
    Failure failure() const;

private:
    static void onInfo(const ssl_st *ssl, int where, int value);

    struct Free
    {
        void operator()(ssl_ctx_st *context) const;
    };
    std::unique_ptr<ssl_ctx_st, Free> m_context;
    // The host as written, for the server name extension; empty for an address.
    QByteArray m_serverName;
    bool m_offersCertificate = false;

    bool m_handshakeDone = false;
    bool m_alertSent = false;
    long m_verifyResult = 0; // X509_V_OK
    int m_alertReceived = -1;
    unsigned long m_libraryError = 0; // the first, as OpenSSL packs it
    QString m_libraryErrorText;
};

} // namespace QMQTT
