#pragma once
// Fiscal XML helpers of the server: gzip and base64 of docZip, reading the fields
// of a procCTe and the leaf values of any message.
#include <QByteArray>
#include <QHash>
#include <QString>

namespace xmlutil {

QByteArray gzip(const QByteArray &data);
// Throws std::runtime_error on a corrupt stream.
QByteArray gunzip(const QByteArray &data);

// The text of every leaf element, by its path of local names from the root
// ("cteProc/CTe/infCte/ide/dhEmi"); the first occurrence wins. Attributes are kept
// as "path@name". What follows the root element is not read. Throws
// std::runtime_error when the document is not well formed.
QHash<QString, QString> leaves(const QByteArray &xml);

// The local name of the document's root element; empty when there is none.
QString rootName(const QByteArray &xml);

struct CteFields {
    QString key, tpAmb, dhEmi, emitDoc, emitName, remDoc, remName, expDoc, expName, recDoc, recName, destDoc,
        destName, toma, tomaDoc, tomaName, cStat, xMotivo, nProt, dhRecbto;
    QString kind; // "CT-e", "CT-e OS", "GTV-e" or "CT-e Simplificado"
    double vTPrest = 0, vRec = 0;
};
// Whether a document with this root is an authorised CT-e of some kind (cteProc, cteOSProc, ...).
bool isProcCte(const QString &root);
// Any of those kinds, layout 3.00 or 4.00. Throws std::runtime_error.
CteFields readProcCte(const QByteArray &xml);

// "2026-11-03T10:15:00-03:00" -> dd/mm/yyyy and yyyy-mm-dd (empty when unreadable)
QString displayDate(const QString &isoDateTime);
QString isoDate(const QString &isoDateTime);

// The document without its XML declaration and surrounding blanks, bytes untouched.
QByteArray withoutDeclaration(const QByteArray &xml);

} // namespace xmlutil
