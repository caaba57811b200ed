#pragma once
// The remote data module Dfe71000.rdmSincronizacaoCTe: the four methods, and the
// synchronization state of a registration. Each checks
// its arguments and hands the work to its rule (CteList, Synchronization, XmlDownload,
// DisagreementEvent) over the store and a tax-authority source.
#include "CteList.h"
#include "Frame.h"
#include "authority/Authority.h"
#include "store/Store.h"

#include <QDateTime>
#include <functional>

// A request the server cannot run: answered with an error reply.
class CallError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RemoteModule {
public:
    using Clock = std::function<QDateTime()>;
    RemoteModule(Store &store, AuthoritySource &authority, QString ufAutor = QStringLiteral("35"), Clock clock = {});

    // Runs one request; never throws. A long list for a caller that takes parts goes out
    // through `early` as it is read (see ctelist::listInParts).
    wire::Reply call(const wire::Request &request, const wire::FrameSink &early = {});

    QVariant GetSincronizacaoCTe(QVariantList &args);
    QVariant SincronizarCTe(QVariantList &args);
    QVariant DownloadXML(QVariantList &args);
    QVariant RecusaCTe(QVariantList &args);
    QVariant CancelaRecusaCTe(QVariantList &args);
    QVariant GetEstadoSincronizacao(QVariantList &args);

    static QString nsuText(quint64 n);

private:
    ctelist::Filter listFilter(QVariantList &args);
    Store &m_store;
    AuthoritySource &m_authority;
    QString m_uf;
    Clock m_clock;
};
