#include "mqtt/clienterror.h"

#include <cerrno>

namespace QMQTT {

ClientError errorFromErrno(int errnoValue)
{
    switch (errnoValue) {
    case ECONNREFUSED:
        return SocketConnectionRefusedError;
    case ETIMEDOUT:
        return SocketTimeoutError;
    case ECONNRESET:
    case EPIPE:
        return SocketRemoteHostClosedError;
    default:
        return SocketNetworkError;
    }
}

ClientError errorFromConnack(int code)
{
    // MQTT 3.1.1 refuses with 1 to 5, MQTT 5 with reason codes from 0x80;
    // the two ranges do not overlap.
    switch (code) {
    case 1:    // unacceptable protocol version
    case 0x81: // malformed packet
    case 0x82: // protocol error
    case 0x84: // unsupported protocol version
    case 0x95: // packet too large
    case 0x99: // payload format invalid
    case 0x9A: // retain not supported
    case 0x9B: // QoS not supported
        return MqttProtocolError;
    case 2:
    case 0x85: // client identifier not valid
        return MqttIdentifierRejectedError;
    case 4:    // bad user name or password
    case 5:    // not authorised
    case 0x86: // bad user name or password
    case 0x87: // not authorized
    case 0x8A: // banned
    case 0x8C: // bad authentication method
        return MqttNotAuthorizedError;
    // The broker may take the connection later or elsewhere: worth another try.
    case 3:
    case 0x88: // server unavailable
    case 0x89: // server busy
    case 0x97: // quota exceeded
    case 0x9C: // use another server
    case 0x9D: // server moved
    case 0x9F: // connection rate exceeded
        return MqttServerUnavailableError;
    default:
        return UnknownError;
    }
}

} // namespace QMQTT
