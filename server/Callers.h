#pragma once
// Who may call the server: per-installation tokens (only a SHA-256 of the secret is
// kept) and client certificates (by the subject's common name), each tied to the
// legal registrations whose documents it may see.
#include "net/Caller.h"
#include "store/Store.h"

#include <QSet>
#include <QStringList>
#include <optional>

namespace callers {

struct Entry {
    Caller caller;
    QStringList registrations;
};

// A new random secret for `name`, whose hash is stored; the secret is shown once and
// never kept. Throws StoreError when the name exists or a registration is invalid.
QString addToken(Store &store, const QString &name, const QStringList &registrations);
void addCertificate(Store &store, const QString &commonName, const QStringList &registrations);
bool remove(Store &store, Caller::Kind kind, const QString &name);
QList<Entry> list(Store &store);
// The token's name, when the secret is one the store knows.
std::optional<QString> tokenName(Store &store, const QString &secret);
// The registrations the caller may see (empty: none, or the caller is gone).
QSet<QString> registrations(Store &store, const Caller &caller);
// The registration a request names (normal form; empty when it names none), or
// nothing for a method that has no registration argument.
std::optional<QString> requestRegistration(const QString &method, const QVariantList &args);
// Why the caller may not make this call, or empty. Read per call, so that a removed
// token or registration takes effect at once.
QString refusal(Store &store, const Caller &caller, const QString &method, const QVariantList &args);

} // namespace callers
