#pragma once

#include <QObject>

namespace QMQTT {
Q_NAMESPACE

// Why a connection attempt failed or an established connection broke.
enum ClientError
{
    UnknownError = 0,
    SocketConnectionRefusedError, // nothing listens on the port
    SocketHostNotFoundError,      // the host name does not resolve
    SocketTimeoutError,           // no answer within the connect timeout, or keep-alive expired
    SocketRemoteHostClosedError,  // an established connection was lost
    SocketNetworkError,           // any other socket failure
    MqttNotAuthorizedError,       // broker refused the user name or password
    MqttIdentifierRejectedError,  // broker refused the client id
    MqttServerUnavailableError,   // broker refused the connection for another reason
    MqttProtocolError,            // broker answered with something the library could not accept
    MqttInvalidSettingsError,     // settings the library rejects (e.g. a password without a user name)
    TlsCertificateRejectedError,  // the broker's certificate was not accepted (see Client::tlsProblem())
    TlsError,                     // the TLS handshake failed for another reason (see Client::tlsProblem())
};
Q_ENUM_NS(ClientError)

// Which setting an attempt refused with MqttInvalidSettingsError, before any
// of it reached the network.
enum class InvalidSetting
{
    None,
    Port,                    // 0
    ClientId,                // control characters, noncharacters, more than 65535 bytes
    Username,                // the same rules as the client id
    PasswordWithoutUsername, // MQTT 3.1.1 has no password without a user name
    PasswordWithZero,        // the library takes the password as a C string
    PasswordTooLong,         // more than 65535 bytes
    TlsCaFile,               // no CA certificate could be read from the file
    TlsCertificate,          // the client certificate could not be read
    TlsKey,                  // the client key could not be read, or is not the certificate's
    TlsHostName,             // the host cannot be given to the TLS library as the name to check
    TlsUnsupported,          // the MQTT library takes no TLS context (built without TLS)
};
Q_ENUM_NS(InvalidSetting)

// Why a TLS handshake failed.
enum class TlsProblem
{
    None,
    UntrustedCertificate,      // no CA of ours vouches for the broker's certificate
    WrongHostName,             // the certificate was issued for another host
    ExpiredCertificate,        // the broker's certificate is no longer valid
    NotYetValidCertificate,    // the broker's certificate is not valid yet
    OtherCertificateProblem,   // see Client::tlsDetail()
    ClientCertificateRequired, // the broker wants a client certificate and got none
    ClientCertificateRefused,  // the broker did not accept ours
    // The broker broke the handshake off without a word: a port without TLS,
    // or a proxy in front of a broker that is away.
    HandshakeFailed,
    NotTls,                // the broker answered with something that is not TLS
    ProtocolVersion,       // no TLS version both take (the client takes 1.2 and later)
    OtherHandshakeProblem, // anything else; see Client::tlsDetail()
};
Q_ENUM_NS(TlsProblem)

// What the network and the broker said, in the client's terms.
ClientError errorFromErrno(int errnoValue);
// A CONNACK's refusal: a return code of MQTT 3.1.1 or a reason code of MQTT 5.
ClientError errorFromConnack(int code);

} // namespace QMQTT

Q_DECLARE_METATYPE(QMQTT::ClientError)
Q_DECLARE_METATYPE(QMQTT::InvalidSetting)
Q_DECLARE_METATYPE(QMQTT::TlsProblem)
