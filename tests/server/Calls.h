#pragma once
// The server's methods as the tests call them: through the dispatcher, which turns
// every exception into an error reply, so a fault that throws fails its test instead
// of ending the whole run.
#include "RemoteModule.h"
#include "Packet.h"

#include <QTest>

inline QVariantList run(RemoteModule &m, const char *method, const QVariantList &args)
{
    const wire::Reply r = m.call({QString::fromLatin1(wire::kServerName), QString::fromLatin1(method), args});
    return r.ok ? r.result.toList() : QVariantList{QStringLiteral("erro"), r.error};
}

// The data packet of a reply; a packet that does not decode fails the test.
inline wire::DecodedPacket packetOf(const QVariantList &reply)
{
    try {
        return wire::decodePacket(reply.value(1).value<TDataPacket>());
    } catch (const std::exception &e) {
        QTest::qFail(e.what(), __FILE__, __LINE__);
        return {};
    }
}
