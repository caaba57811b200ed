#pragma once
// The first frame of an authenticated connection: {"hello": {"token": text}}, the
// token left out by a client that proves itself with its TLS certificate.
#include <QByteArray>
#include <QString>

namespace wire {

struct Hello {
    QString token;
};

QByteArray encodeHello(const Hello &h);
// True when the payload is a map whose first key is "hello" (cheap: reads one key).
bool isHello(const QByteArray &payload);
Hello decodeHello(const QByteArray &payload); // throws DecodeError

} // namespace wire
