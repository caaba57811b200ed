#pragma once
// The service-in-disagreement event (tpEvento 610110, layout 4.00): the eventoCTe the
// taker sends, read back the way the authority reads it, and the procEventoCTe kept
// once the authority accepts it.
#include "Xml.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace evento {

inline constexpr char kNs[] = "http://www.portalfiscal.inf.br/cte";
inline constexpr char kDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr char kType[] = "610110";
inline constexpr char kDescription[] = "Prestação do Serviço em Desacordo";

inline constexpr char kUndoType[] = "610111";
inline constexpr char kUndoDescription[] = "Cancelamento Prestação do Serviço em Desacordo";

// The disagreement (610110) or, with `type` 610111 and the protocol it cancels, its undoing.
struct Disagreement {
    QString type = QString::fromLatin1(kType);
    QString disagreementProtocol; // nProtEvPrestDes of a 610111
    QString key;      // chCTe
    QString tpAmb;    // "1" production, "2" homologation
    QString author;   // CNPJ (14) or CPF (11) of the service taker
    QDateTime at;     // dhEvento, written in the offset of the key's state
    int sequence = 1; // nSeqEvento, 1 to 99
    QString reason;   // xObs, already trimmed (none in a 610111)
};

// "ID" + tpEvento + chCTe + nSeqEvento in 3 digits: 53 digits after "ID".
QString id(const Disagreement &d);
// Offset from UTC of a state's local time, by its IBGE code (the key's first two digits).
int utcOffsetSeconds(const QString &ufCode);
// The text with its accents taken off, for an authorizer that accepts plain ASCII only;
// characters without an ASCII letter are dropped.
QString foldAccents(const QString &text);
// The unsigned eventoCTe, with its XML declaration. `asciiOnly` folds descEvento and xObs.
QByteArray build(const Disagreement &d, bool asciiOnly);

// The fields of an eventoCTe as sent, texts untrimmed. Throws std::runtime_error when
// the document is not well formed.
struct Fields {
    QString root, version, id, cOrgao, tpAmb, author, authorTag, key, dhEvento, tpEvento, nSeqEvento, detVersion,
        descEvento, indDesacordoOper, xObs;
    bool signature = false; // a ds:Signature right inside eventoCTe
};
Fields read(const QByteArray &eventoCTe);

using xmlutil::withoutDeclaration;
// The event as sent followed by the authority's answer as received, inside procEventoCTe.
QByteArray proc(const QByteArray &sentEvent, const QByteArray &answer);

} // namespace evento
