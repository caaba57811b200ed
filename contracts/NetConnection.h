#pragma once
// Socket connection to the application server with late-bound calls by method name.
#include "ToolkitApi.h"
#include "Packet.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QDate>
#include <QVariant>
#include <exception>
#include <functional>
#include <type_traits>
#include <vector>

namespace wire { struct Reply; struct Part; }

class QTcpSocket;

// One argument of a call: its value, and for a by-reference argument where the
// value the server leaves in it goes.
struct TArg {
    QVariant Value;
    std::function<void(const QVariant &)> WriteBack;
    // Whether a value the server leaves can go into the caller's storage.
    std::function<bool(const QVariant &)> Fits;
};
inline TArg ByVal(const QVariant &v) { return TArg{v, {}, {}}; }
template <class T>
TArg ByRef(T &storage)
{
    return TArg{QVariant::fromValue(storage), [&storage](const QVariant &v) { storage = v.value<T>(); },
                [&storage](const QVariant &v) {
                    if (v.metaType() == QMetaType::fromType<T>())
                        return true;
                    // A date that was not set travels as null and may come back so.
                    if constexpr (std::is_same_v<T, QDate>)
                        return !storage.isValid() && v.metaType().id() == QMetaType::Nullptr;
                    return false;
                }};
}

// How the connection proves the server and itself on a network (the host's INI,
// [server] tls, ca_file, token, client_cert, client_key). All empty: plain text, no
// credential, as on loopback.
struct TNetSecurity {
    bool Tls = false;
    QString CaFile;     // PEM roots that may sign the server's certificate; empty: the system's
    QString Token;      // the installation's token, sent in the first frame
    QString ClientCert; // PEM certificate and key, for a server that takes client certificates
    QString ClientKey;
};

class DFE_TOOLKIT_API TNetConnection : public QObject {
public:
    explicit TNetConnection(QObject *parent = nullptr);
    ~TNetConnection() override;

    QString ServerName;
    QString Host;
    int Port = 0;
    // false: a failed connect raises nothing; the next call reports it.
    bool ThrowException = true;
    static int DefaultTimeoutMs; // the host's setting, taken by every new connection
    int TimeoutMs = DefaultTimeoutMs;
    int ConnectTimeoutMs = 10000;
    quint32 MaxFrame = 256u * 1024u * 1024u;
    static TNetSecurity DefaultSecurity; // the host's setting, taken by every new connection
    TNetSecurity Security = DefaultSecurity;

    void Open();
    void Close();
    bool Connected() const;
    QString LastError() const { return m_lastError; }

    // Calls `method` on the server and waits for its result, keeping the windows
    // painting and holding back the user's input meanwhile. By-reference values in
    // the reply replace the caller's storage. Raises Exception on any failure.
    QVariant AppServer(const QString &method, const std::vector<TArg> &args);

    // Set: a long list may come in parts. AppServer then returns with its first rows, and
    // ReceiveParts hands out the rest in order as it arrives, the windows kept painting and
    // the user's input held. A call made before the rest is taken opens a new connection.
    // Its packets may carry a value equal to the one above as a mark (the reader expands it).
    bool AcceptParts = false;
    bool PartsPending() const { return m_partsDue; }
    // Raises Exception when the rest cannot come whole: the caller drops what it has.
    void ReceiveParts(const std::function<void(const TDataPacket &)> &onPart);

    // Calls made so far (for tests and diagnostics).
    int CallCount() const { return m_calls; }

private:
    bool freshConnection();
    QByteArray requestFrame(const QString &method, const std::vector<TArg> &args, bool parts, bool repeats) const;
    wire::Reply awaitReply(const QString &method, const QPointer<QTcpSocket> &socket, bool fresh);
    wire::Reply call(const QString &method, const std::vector<TArg> &args, bool parts, bool repeats);
    wire::Part awaitPart(const QPointer<QTcpSocket> &socket);
    // Closes the connection and throws the failure of call `method`.
    [[noreturn]] void broken(const QString &method, const QString &why);
    // The frame read by `decode`; a frame the reader or `decode` refuses breaks the call.
    template <class Decode>
    auto decodeOrBreak(const QString &method, const QByteArray &frame, const QString &failure, Decode decode)
    {
        if (!failure.isEmpty())
            broken(method, QStringLiteral("resposta inválida (%1)").arg(failure));
        try {
            return decode(frame);
        } catch (const std::exception &e) {
            broken(method, QStringLiteral("resposta inválida (%1)").arg(QString::fromUtf8(e.what())));
        }
    }
    static void writeBack(const QString &method, const std::vector<TArg> &args, const wire::Reply &reply);
    bool connectNow(QString &error);
    bool startTls(QString &reason);
    bool sayHello(QString &error);
    QString where() const;
    QPointer<QTcpSocket> m_socket;
    QString m_lastError;
    bool m_inCall = false;
    bool m_stale = false; // more arrived than the last reply: the stream is out of step
    bool m_partsDue = false; // the last reply's list has parts still to come
    quint64 m_nextPart = 0;
    QString m_partsMethod;
    QByteArray m_carry; // bytes read past a reply whose parts follow: the next part's start
    int m_calls = 0;
};
