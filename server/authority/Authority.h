#pragma once
// The tax authority as the server sees it: the CT-e distribution service and the
// event reception service, each taking and returning the authority's own XML
// messages (distDFeInt / retDistDFeInt, eventoCTe / retEventoCTe).
#include "EventMessages.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class AuthoritySource {
public:
    virtual ~AuthoritySource() = default;
    // Must be safe to call from several threads at once.
    virtual QByteArray distDFeInt(const QByteArray &request) = 0;
    virtual QByteArray eventoCTe(const QByteArray &request) = 0;
    // The eventoCTe as this authority must receive it: the bytes handed to eventoCTe
    // and kept once it is accepted. Throws std::runtime_error when it cannot be made.
    virtual QByteArray prepareEvent(const evento::Disagreement &d) { return evento::build(d, false); }
    // The environment the requests name (tpAmb): 1 production, 2 homologation.
    virtual QString tpAmb() const { return QStringLiteral("1"); }
    // The last moment of the company certificate the calls are made with; invalid when
    // this source needs none.
    virtual QDateTime certificateExpiry() const { return {}; }
};
