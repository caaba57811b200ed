#pragma once
// The CT-e distribution messages: distDFeInt (by cursor or by one NSU) and
// retDistDFeInt, shared by the server, the simulated authority and the tests'
// authority.
#include <QByteArray>
#include <QString>
#include <vector>

namespace dist {

inline constexpr char kNs[] = "http://www.portalfiscal.inf.br/cte";

// An NSU as the service writes it: 15 digits, zero-padded.
inline QString nsuText(quint64 n) { return QStringLiteral("%1").arg(n, 15, 10, QLatin1Char('0')); }

struct Query {
    QString tpAmb = QStringLiteral("1"), cUFAutor = QStringLiteral("35"), registration;
    QString ultNSU; // distNSU: the cursor
    QString nsu;    // consNSU: one NSU (when set)
};
QByteArray request(const Query &q);
// Throws std::runtime_error on a message that is not a well-formed distDFeInt.
Query readRequest(const QByteArray &xml);

struct DocZip {
    QString nsu, schema;
    QByteArray content; // base64 text as received
};
struct Answer {
    QString tpAmb = QStringLiteral("1"), cStat, xMotivo, ultNSU, maxNSU;
    std::vector<DocZip> docs;
};
QByteArray answer(const Answer &a);
// Throws std::runtime_error when `xml` is not a well-formed retDistDFeInt, or lacks
// cStat, ultNSU, maxNSU, or a docZip's NSU or schema.
Answer readAnswer(const QByteArray &xml);

} // namespace dist
