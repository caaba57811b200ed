#pragma once
// What the authority checks of a signed fiscal document: an enveloped XMLDSig over the
// element with the given Id, C14N 1.0, SHA-1 and RSA-SHA1, made with the key of
// `certificate`, which KeyInfo carries.
#include <QByteArray>
#include <QSslCertificate>
#include <QString>

// Empty when the signature holds; otherwise why not.
QString signatureProblem(const QByteArray &xml, const QString &id, const QSslCertificate &certificate);
