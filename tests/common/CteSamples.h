#pragma once
// CT-e documents of every kind for tests: the fields a DACTE shows, wrapped with their
// protocol or not.
#include <QByteArray>
#include <QString>

namespace samples {

extern const QString kKey;      // numeric issuer
extern const QString kAlphaKey; // alphanumeric issuer
extern const QString kQr;       // the documents' qrCodCTe

// A document of `root` (CTe, CTeOS, GTVe, CTeSimp) with `body` after the issuer; inside a
// cteProc with its protocol when `nProt` is set.
QByteArray document(const QString &root, const QString &model, const QString &key, const QString &tpAmb,
                    const QString &nProt, const QString &body);
QString normalBody(bool ibsCbs);
QString osBody();
QString gtvBody();
QString simpBody();

} // namespace samples
