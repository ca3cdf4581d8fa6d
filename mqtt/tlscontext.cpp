#include "mqtt/tlscontext.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace QMQTT {

namespace {

// What OpenSSL's verification said about the broker's certificate.
TlsProblem verifyProblem(long result)
{
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsProblem::WrongHostName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TlsProblem::ExpiredCertificate;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsProblem::NotYetValidCertificate;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return TlsProblem::UntrustedCertificate;
    default:
        return TlsProblem::OtherCertificateProblem;
    }
}

// What a fatal TLS alert from the broker means for us.
TlsProblem alertProblem(int alert)
{
    switch (alert) {
    case SSL_AD_CERTIFICATE_REQUIRED:
        return TlsProblem::ClientCertificateRequired;
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
        return TlsProblem::ClientCertificateRefused;
    case SSL_AD_PROTOCOL_VERSION:
        return TlsProblem::ProtocolVersion;
    default:
        return TlsProblem::OtherHandshakeProblem;
    }
}

// What OpenSSL's own error says, for the errors common enough to have a name.
TlsProblem libraryProblem(unsigned long error)
{
    if (ERR_GET_LIB(error) != ERR_LIB_SSL)
        return TlsProblem::OtherHandshakeProblem;
    const int reason = ERR_GET_REASON(error);
    // An alert that came in is reported as its number past this offset.
    if (reason > SSL_AD_REASON_OFFSET && reason <= SSL_AD_REASON_OFFSET + 255)
        return alertProblem(reason - SSL_AD_REASON_OFFSET);
    switch (reason) {
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return TlsProblem::HandshakeFailed;
    // The first bytes back were no TLS record: an MQTT broker without TLS
    // that answers, or another service altogether.
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
        return TlsProblem::NotTls;
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return TlsProblem::ProtocolVersion;
    default:
        return TlsProblem::OtherHandshakeProblem;
    }
}

} // namespace

void TlsContext::Free::operator()(ssl_ctx_st *context) const
{
    SSL_CTX_free(context);
}

TlsContext::TlsContext() = default;
TlsContext::~TlsContext() = default;

// The TLS is libmosquitto's; only its context is made here, with OpenSSL's
// own checks, because the library's cannot do what is needed:
// - It checks the certificate against the host it connects to, and it is
//   handed an address, since a name it would look up on the event loop (see
//   HostLookup); broker certificates name the host only. No option of the
//   library names another host. OpenSSL checks the name written in the
//   settings instead, as part of the chain's verification, and onInfo() puts
//   that name, not the address, in the hello.
// - Its own verification callback, which it installs on a context of ours
//   when asked for its defaults, fails every handshake in 2.0.11 until the
//   library has made a context of its own once in the process (the index
//   under which the callback finds its handle is set up only then).
// So the library gets this context as it is (MOSQ_OPT_SSL_CTX without its
// defaults).
InvalidSetting TlsContext::configure(const TlsSettings &settings, const QString &host)
{
    m_context.reset(SSL_CTX_new(TLS_client_method()));
    m_offersCertificate = false;
    SSL_CTX *const ctx = m_context.get();
    Q_CHECK_PTR(ctx);
    const auto refuse = [this](InvalidSetting setting) {
        ERR_clear_error();
        m_context.reset();
        return setting;
    };
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A key that wants a passphrase fails at once instead of asking for it
    // on the terminal.
    SSL_CTX_set_default_passwd_cb(ctx, [](char *, int, int, void *) { return 0; });

    const QByteArray caFile = QFile::encodeName(settings.caFile);
    if (caFile.isEmpty() ? SSL_CTX_set_default_verify_paths(ctx) != 1
                         : SSL_CTX_load_verify_locations(ctx, caFile.constData(), nullptr) != 1)
        return refuse(InvalidSetting::TlsCaFile);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    QHostAddress literal(host);
    // A server name is a host name; an address is never sent as one.
    m_serverName = literal.isNull() ? QUrl::toAce(host) : QByteArray();
    if (settings.verifyHostName) {
        X509_VERIFY_PARAM *const param = SSL_CTX_get0_param(ctx);
        bool named = false;
        if (literal.isNull()) {
            named = !m_serverName.isEmpty() &&
                    X509_VERIFY_PARAM_set1_host(param, m_serverName.constData(), std::size_t(m_serverName.size())) == 1;
        } else {
            literal.setScopeId(QString());
            named = X509_VERIFY_PARAM_set1_ip_asc(param, literal.toString().toLatin1().constData()) == 1;
        }
        // Never a handshake without the check that was asked for. No host
        // that the client would try to reach is refused here today (the
        // ASCII form of a name has no zero byte, and an address is written
        // out by Qt), so this guards against a change on either side.
        if (!named)
            return refuse(InvalidSetting::TlsHostName);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    if (!settings.certFile.isEmpty() || !settings.keyFile.isEmpty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx, QFile::encodeName(settings.certFile).constData()) != 1)
            return refuse(InvalidSetting::TlsCertificate);
        if (SSL_CTX_use_PrivateKey_file(ctx, QFile::encodeName(settings.keyFile).constData(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1)
            return refuse(InvalidSetting::TlsKey);
    }
    m_offersCertificate = !settings.certFile.isEmpty();
    SSL_CTX_set_app_data(ctx, this);
    SSL_CTX_set_info_callback(ctx, &TlsContext::onInfo);
    return InvalidSetting::None;
}

void TlsContext::startHandshake()
{
    m_handshakeDone = false;
    m_alertSent = false;
    m_verifyResult = X509_V_OK;
    m_alertReceived = -1;
    m_libraryError = 0;
    m_libraryErrorText.clear();
}

void TlsContext::noteLogLine(const char *line)
{
    // "OpenSSL Error[0]: error:0A000126:SSL routines::unexpected eof while
    // reading"; the first one is the cause.
    constexpr char kPrefix[] = "OpenSSL Error";
    if (m_libraryError != 0 || !m_libraryErrorText.isEmpty() || std::strncmp(line, kPrefix, sizeof kPrefix - 1) != 0)
        return;
    const QString text = QString::fromUtf8(line);
    m_libraryErrorText = text.mid(text.lastIndexOf(QLatin1String("::")) + 2).trimmed();
    const int code = text.indexOf(QLatin1String("error:"));
    if (code >= 0)
        m_libraryError = text.mid(code + 6, 8).toULong(nullptr, 16);
}

void TlsContext::onInfo(const ssl_st *ssl, int where, int value)
{
    auto *self = static_cast<TlsContext *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!self)
        return;
    // The library names the address it connects to in the server name
    // extension; a broker behind a proxy that routes by name needs the host
    // as written. This comes before the hello is put together.
    if (where & SSL_CB_HANDSHAKE_START) {
        const char *const name = self->m_serverName.isEmpty() ? nullptr : self->m_serverName.constData();
        // The macro casts the name in C's way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
        SSL_set_tlsext_host_name(const_cast<SSL *>(ssl), name);
#pragma GCC diagnostic pop
        return;
    }
    if (where & SSL_CB_HANDSHAKE_DONE) {
        self->m_handshakeDone = true;
        return;
    }
    // Only fatal alerts: a close_notify ends every connection.
    if (!(where & SSL_CB_ALERT) || (value >> 8) != SSL3_AL_FATAL)
        return;
    if (where & SSL_CB_WRITE) {
        self->m_alertSent = true;
        self->m_verifyResult = SSL_get_verify_result(ssl);
    } else {
        self->m_alertReceived = value & 0xff;
    }
}

// A peer that closes the connection before the handshake is done broke it
// off; after it, the broker closed an established TLS connection, which is
// the MQTT layer's to report.
bool TlsContext::failed(bool libraryBlamesTls, bool peerClosed) const
{
    return libraryBlamesTls || m_alertSent || m_alertReceived >= 0 || !m_libraryErrorText.isEmpty() ||
           (peerClosed && !m_handshakeDone);
}

TlsContext::Failure TlsContext::failure() const
{
    if (m_alertSent && m_verifyResult != X509_V_OK)
        return {TlsCertificateRejectedError, verifyProblem(m_verifyResult),
                QString::fromUtf8(X509_verify_cert_error_string(m_verifyResult))};
    if (m_alertReceived >= 0) {
        return {TlsError, alertProblem(m_alertReceived),
                m_libraryErrorText.isEmpty() ? QString::fromUtf8(SSL_alert_desc_string_long(m_alertReceived))
                                             : m_libraryErrorText};
    }
    if (m_libraryError != 0)
        return {TlsError, libraryProblem(m_libraryError), m_libraryErrorText};
    // TLS 1.3 ends the handshake on our side before the broker has looked at
    // our certificate. A broker that wants another then breaks the connection
    // off, and its alert is lost when the library's CONNECT meets the closed
    // connection first.
    if (m_handshakeDone) {
        return {TlsError,
                m_offersCertificate ? TlsProblem::ClientCertificateRefused : TlsProblem::ClientCertificateRequired,
                m_libraryErrorText};
    }
    // Closed or reset without a word, or a library error it did not name.
    return {TlsError, m_libraryErrorText.isEmpty() ? TlsProblem::HandshakeFailed : TlsProblem::OtherHandshakeProblem,
            m_libraryErrorText};
}

} // namespace QMQTT
