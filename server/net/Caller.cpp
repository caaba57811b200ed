#include "Caller.h"

QString Caller::describe() const
{
    switch (kind) {
    case Kind::Token: return QStringLiteral("token ") + name;
    case Kind::Certificate: return QStringLiteral("certificado ") + name;
    default: return QStringLiteral("anônimo");
    }
}
