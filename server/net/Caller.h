#pragma once
// Who is calling on a connection: nobody in particular (plain loopback), the holder of
// a token, or the holder of a client certificate.
#include <QString>

struct Caller {
    enum class Kind { Anonymous, Token, Certificate };
    Kind kind = Kind::Anonymous;
    QString name;
    bool anonymous() const { return kind == Kind::Anonymous; }
    // For the log: "token NAME", "certificado CN", or "anônimo".
    QString describe() const;
};
