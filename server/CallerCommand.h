#pragma once
// dfe-server token add|remove|list, certificate add|remove|list: who may call, kept in
// the store.
#include <QStringList>

// The program's exit status.
int callerCommand(const QStringList &words, const QString &storePath, const QStringList &registrations);
