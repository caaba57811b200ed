#pragma once
// A simulated tax authority: for any CNPJ or CPF that asks, a deterministic history
// of CT-e spread over the last months (authorised documents, some cancelled later,
// some NSU without a document) that keeps growing as time passes. Each CTe is signed
// with the simulation's certificate (given, or a key made at start).
#include "authority/Authority.h"
#include "authority/DistMessages.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QXmlStreamWriter;
class XmlSigner;

class SimulatedAuthority : public AuthoritySource {
public:
    using Clock = std::function<QDateTime()>;
    explicit SimulatedAuthority(Clock clock = {}, std::shared_ptr<const XmlSigner> signer = {});

    QByteArray distDFeInt(const QByteArray &request) override;
    QByteArray eventoCTe(const QByteArray &request) override;
    QByteArray prepareEvent(const evento::Disagreement &d) override;

    struct Party {
        QString doc, name, uf, city, cMun; // cMun: the city's IBGE code
    };
    struct Item {
        quint64 nsu = 0;
        QDateTime at;
        enum Kind { Gap, Cte, Cancel } kind = Gap;
        // Cte: a CT-e (model 57), CT-e OS (67, a service taker and no sender or receiver),
        // GTV-e (64) or CT-e Simplificado (57, tpCTe 5)
        enum Model { Normal, Os, Gtv, Simplified } model = Normal;
        QString key, nProt;
        Party issuer, rem, exped, receb, dest, toma4;
        int toma = 0; // 0 rem, 1 exped, 2 receb, 3 dest, 4 other (always 4 in a CT-e OS)
        double vTPrest = 0, vRec = 0;
        int tpAmb = 1;
        // Cancel: the item it cancels
        int target = -1;
        QString cancelProt;
    };
    // The history of `registration` up to the clock's now.
    std::vector<Item> history(const QString &registration);
    // The authorised document with its protocol (cteProc, cteOSProc, GTVeProc or cteSimpProc).
    QByteArray procCTe(const Item &it) const;
    // Its schema as the distribution names it ("procCTeOS_v4.00.xsd").
    static QString procSchema(const Item &it);
    static const Party &taker(const Item &it);
    // The issuer's cancellation (110111), signed, with the authority's answer.
    QByteArray procEventoCancel(const Item &cancel, const Item &cte) const;
    // The taker's disagreement (610110) and its cancellation (610111, naming the
    // disagreement's protocol), signed, as the distribution delivers them.
    QByteArray procEventoDisagreement(const Item &cte, int sequence, const QDateTime &at, const QString &protocol) const;
    QByteArray procEventoUndo(const Item &cte, int sequence, const QDateTime &at, const QString &protocol,
                              const QString &disagreementProtocol) const;
    static QString docXmlTag(const QString &doc) { return doc.size() == 11 ? QStringLiteral("CPF") : QStringLiteral("CNPJ"); }
    static constexpr int kPageSize = 50;

private:
    struct IssuedEvent {
        QString type, description;
        const Item *cte;
        QString author;
        QDateTime at;
        int sequence;
        QString protocol;
    };
    // A signed eventoCTe with its payload and the authority's answer, inside procEventoCTe.
    QByteArray procEvento(const IssuedEvent &e, const std::function<void(QXmlStreamWriter &)> &payload) const;
    std::optional<dist::DocZip> docZip(const std::vector<Item> &h, const Item &it) const;
    Clock m_clock;
    std::shared_ptr<const XmlSigner> m_signer;
    QMutex m_mutex;
    QHash<QString, std::pair<QString, QString>> m_disagreements; // Id of each event accepted -> nProt, dhRegEvento
};
