#pragma once
// What every remote method answers: a one-character flag ("S" done, "N" not done) and
// its payload (a message text, or a data packet).
#include <QString>
#include <QVariant>

inline QVariantList envelope(const QString &flag, const QVariant &payload) { return QVariantList{flag, payload}; }
inline QVariantList refused(const QString &why) { return envelope(QStringLiteral("N"), why); }
