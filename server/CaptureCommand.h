#pragma once
// dfe-server capture add CNPJ|CPF [--uf UF], capture remove CNPJ|CPF, capture list: the
// registrations the server captures on its own, kept in the store.
#include <QStringList>

// The program's exit status. `uf`: the --uf given, empty for the server's own.
int captureCommand(const QStringList &words, const QString &storePath, const QString &uf);
