#include "RemoteModule.h"
#include "CteList.h"
#include "DisagreementEvent.h"
#include "Envelope.h"
#include "Fiscal.h"
#include "Packet.h"
#include "SyncStatus.h"
#include "Synchronization.h"
#include "XmlDownload.h"
#include "authority/DistMessages.h"

namespace {
void argCount(const QVariantList &args, int n, const char *method)
{
    if (args.size() != n)
        throw CallError(QStringLiteral("%1 espera %2 argumentos, recebeu %3")
                            .arg(QString::fromLatin1(method)).arg(n).arg(args.size()).toStdString());
}

QString text(const QVariantList &args, int i)
{
    const QVariant &v = args[i];
    if (v.metaType().id() == QMetaType::QString)
        return v.toString();
    if (v.metaType().id() == QMetaType::Nullptr)
        return {};
    throw CallError("o argumento " + std::to_string(i + 1) + " deve ser texto");
}

QDate date(const QVariantList &args, int i)
{
    const QVariant &v = args[i];
    if (v.metaType().id() == QMetaType::QDate)
        return v.toDate();
    if (v.metaType().id() == QMetaType::Nullptr)
        return {};
    throw CallError("o argumento " + std::to_string(i + 1) + " deve ser uma data");
}

// The list a download is asked for, with the columns it reads.
wire::DecodedPacket tickedList(const TDataPacket &packet, xmldownload::Columns &columns)
{
    wire::DecodedPacket list;
    try {
        list = wire::decodePacket(packet);
    } catch (const std::exception &e) {
        throw CallError(std::string("pacote de dados inválido: ") + e.what());
    }
    columns.check = list.indexOf(QStringLiteral("IDCHECK"));
    columns.nsu = list.indexOf(QStringLiteral("NRNSU"));
    columns.registration = list.indexOf(QStringLiteral("NRINSJURPESQ"));
    columns.key = list.indexOf(QStringLiteral("NRACESSOCTE"));
    if (columns.check < 0 || columns.nsu < 0)
        throw CallError("o pacote de dados deve ter os campos IDCHECK e NRNSU");
    for (int c : {columns.check, columns.nsu, columns.registration, columns.key})
        if (c >= 0 && list.fields[size_t(c)].type != wire::PacketType::Text && list.fields[size_t(c)].type != wire::PacketType::FixedText)
            throw CallError("o campo " + list.fields[size_t(c)].name.toStdString() + " do pacote de dados deve ser texto");
    return list;
}
} // namespace

RemoteModule::RemoteModule(Store &store, AuthoritySource &authority, QString ufAutor, Clock clock)
    : m_store(store), m_authority(authority), m_uf(std::move(ufAutor)), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

QString RemoteModule::nsuText(quint64 n) { return dist::nsuText(n); }

wire::Reply RemoteModule::call(const wire::Request &request, const wire::FrameSink &early)
{
    wire::Reply reply;
    try {
        if (request.server != QLatin1String(wire::kServerName))
            throw CallError("servidor desconhecido: " + request.server.toStdString());
        QVariantList args = request.args;
        if (request.method == QLatin1String("GetSincronizacaoCTe") && request.parts && early) {
            const ctelist::Filter f = listFilter(args);
            if (!f.registration.isEmpty())
                return ctelist::listInParts(m_store, f, args, early, request.repeats);
        }
        if (request.method == QLatin1String("GetSincronizacaoCTe")) reply.result = GetSincronizacaoCTe(args);
        else if (request.method == QLatin1String("SincronizarCTe")) reply.result = SincronizarCTe(args);
        else if (request.method == QLatin1String("DownloadXML")) reply.result = DownloadXML(args);
        else if (request.method == QLatin1String("RecusaCTe")) reply.result = RecusaCTe(args);
        else if (request.method == QLatin1String("CancelaRecusaCTe")) reply.result = CancelaRecusaCTe(args);
        else if (request.method == QLatin1String("GetEstadoSincronizacao")) reply.result = GetEstadoSincronizacao(args);
        else throw CallError("método desconhecido: " + request.method.toStdString());
        reply.args = args;
    } catch (const CallError &e) {
        reply.ok = false;
        reply.error = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        reply.ok = false;
        reply.error = QStringLiteral("Erro no servidor de aplicação: %1").arg(QString::fromUtf8(e.what()));
    }
    return reply;
}

ctelist::Filter RemoteModule::listFilter(QVariantList &args)
{
    argCount(args, 6, "GetSincronizacaoCTe");
    ctelist::Filter f;
    f.issuedFrom = date(args, 0);
    f.issuedTo = date(args, 1);
    f.registration = fiscal::normalRegistration(text(args, 2));
    f.statuses = text(args, 3);
    f.syncedFrom = date(args, 4);
    f.syncedTo = date(args, 5);
    return f;
}

QVariant RemoteModule::GetSincronizacaoCTe(QVariantList &args)
{
    const ctelist::Filter f = listFilter(args);
    if (f.registration.isEmpty())
        return refused(QStringLiteral("Inscrição jurídica deve ser informada."));
    return ctelist::list(m_store, f);
}

QVariant RemoteModule::SincronizarCTe(QVariantList &args)
{
    argCount(args, 6, "SincronizarCTe");
    text(args, 0);
    text(args, 1);
    const QString reg = fiscal::normalRegistration(text(args, 2));
    const QString origin = text(args, 3);
    if (!(fiscal::validCnpj(reg) || fiscal::validCpf(reg)))
        return refused(QStringLiteral("Inscrição jurídica \"%1\" inválida.").arg(text(args, 2)));
    return Synchronization(m_store, m_authority, m_uf, m_clock).run(reg, origin);
}

QVariant RemoteModule::DownloadXML(QVariantList &args)
{
    argCount(args, 4, "DownloadXML");
    if (args[0].metaType() != QMetaType::fromType<TDataPacket>())
        throw CallError("o argumento 1 deve ser um pacote de dados");
    text(args, 1);
    text(args, 2);
    const QString reg = fiscal::normalRegistration(text(args, 3));
    xmldownload::Columns columns;
    const wire::DecodedPacket list = tickedList(args[0].value<TDataPacket>(), columns);
    return xmldownload::download(m_store, list, columns, reg);
}

QVariant RemoteModule::RecusaCTe(QVariantList &args)
{
    argCount(args, 5, "RecusaCTe");
    const QString key = text(args, 0).trimmed();
    QString reasonError;
    const QString reason = DisagreementEvent::reason(text(args, 1), reasonError);
    text(args, 2);
    const QString reg = fiscal::normalRegistration(text(args, 3));
    text(args, 4);
    if (!fiscal::validAccessKey(key))
        return refused(QStringLiteral("Chave de acesso \"%1\" inválida.").arg(key));
    if (!reasonError.isEmpty())
        return refused(reasonError);
    const qsizetype characters = reason.toUcs4().size();
    if (characters < 15 || characters > 255)
        return refused(QStringLiteral("O motivo deve ter de 15 a 255 caracteres."));
    return DisagreementEvent(m_store, m_authority, m_clock).record(key, reg, reason);
}

QVariant RemoteModule::CancelaRecusaCTe(QVariantList &args)
{
    argCount(args, 4, "CancelaRecusaCTe");
    const QString key = text(args, 0).trimmed();
    text(args, 1);
    const QString reg = fiscal::normalRegistration(text(args, 2));
    text(args, 3);
    if (!fiscal::validAccessKey(key))
        return refused(QStringLiteral("Chave de acesso \"%1\" inválida.").arg(key));
    return DisagreementEvent(m_store, m_authority, m_clock).undo(key, reg);
}

QVariant RemoteModule::GetEstadoSincronizacao(QVariantList &args)
{
    argCount(args, 3, "GetEstadoSincronizacao");
    text(args, 0);
    text(args, 1);
    const QString reg = fiscal::normalRegistration(text(args, 2));
    if (!(fiscal::validCnpj(reg) || fiscal::validCpf(reg)))
        return refused(QStringLiteral("Inscrição jurídica \"%1\" inválida.").arg(text(args, 2)));
    return syncstatus::state(m_store, reg, m_clock(), m_authority.certificateExpiry());
}
