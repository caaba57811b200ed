#include "SimulatedAuthority.h"
#include "authority/EventMessages.h"
#include "Fiscal.h"
#include "authority/Xml.h"
#include "authority/XmlSigner.h"

#include <QXmlStreamWriter>
#include <cmath>

namespace {
const char kNs[] = "http://www.portalfiscal.inf.br/cte";

// Small deterministic generator (splitmix64), the same on every machine.
struct Rng {
    quint64 s;
    quint64 next()
    {
        quint64 z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    int range(int lo, int hi) { return lo + int(next() % quint64(hi - lo + 1)); }
    double unit() { return double(next() >> 11) / double(1ULL << 53); }
    template <class T, size_t N>
    const T &pick(const T (&a)[N]) { return a[next() % N]; }
};

quint64 seedOf(const QString &s)
{
    quint64 h = 1469598103934665603ULL;
    for (QChar c : s) {
        h ^= c.unicode();
        h *= 1099511628211ULL;
    }
    return h;
}

QString digits(Rng &r, int n)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += QChar('0' + r.range(i == 0 ? 1 : 0, 9));
    return s;
}

struct Place {
    const char *uf, *code, *city;
};
const Place kPlaces[] = {{"SP", "35", "São Paulo"},       {"SP", "35", "Campinas"},  {"PR", "41", "Curitiba"},
                         {"MG", "31", "Belo Horizonte"},  {"RJ", "33", "Rio de Janeiro"}, {"SC", "42", "Joinville"},
                         {"RS", "43", "Porto Alegre"},    {"GO", "52", "Goiânia"},   {"BA", "29", "Salvador"}};
const char *kCarrierFirst[] = {"Transportadora", "Expresso", "Rodoviário", "Logística", "Transportes", "TransLog"};
const char *kSurname[] = {"Silva",  "Souza",   "Oliveira", "Pereira", "Almeida", "Carvalho", "Ribeiro", "Gomes",
                          "Martins", "Rocha",  "Barbosa",  "Araújo",  "Fernandes", "Costa",  "Moreira", "Teixeira"};
const char *kPlace2[] = {"Paulista", "Mineira", "Gaúcha", "do Vale", "Serrana", "Litorânea", "Central", "do Sul"};
const char *kSuffix[] = {"Ltda", "S.A.", "Eireli", "Ltda - EPP", "Ltda - ME"};
const char *kTrade[] = {"Comércio de Alimentos", "Indústria Metalúrgica", "Distribuidora de Bebidas",
                        "Atacadista de Tecidos", "Indústria de Embalagens", "Comércio de Autopeças",
                        "Farmacêutica", "Cerâmica", "Laticínios", "Móveis"};

QString carrierName(Rng &r)
{
    return QStringLiteral("%1 %2 %3 %4")
        .arg(QString::fromUtf8(r.pick(kCarrierFirst)), QString::fromUtf8(r.pick(kSurname)),
             QString::fromUtf8(r.pick(kPlace2)), QString::fromUtf8(r.pick(kSuffix)));
}

QString companyName(Rng &r)
{
    return QStringLiteral("%1 %2 %3")
        .arg(QString::fromUtf8(r.pick(kTrade)), QString::fromUtf8(r.pick(kSurname)), QString::fromUtf8(r.pick(kSuffix)));
}

SimulatedAuthority::Party party(Rng &r, bool carrier)
{
    const Place &p = r.pick(kPlaces);
    return {fiscal::cnpjWithDigits(digits(r, 8) + QStringLiteral("0001")), carrier ? carrierName(r) : companyName(r),
            QString::fromLatin1(p.uf), QString::fromUtf8(p.city)};
}

// The same CNPJ with three letters in its base (derived from its digits, so the history stays put).
QString alphanumericCnpj(const QString &cnpj)
{
    QString base = cnpj.left(12);
    for (int k = 2; k < 5; ++k)
        base[k] = QChar('A' + base[k].digitValue());
    return fiscal::cnpjWithDigits(base);
}

QString ufCode(const QString &uf)
{
    for (const Place &p : kPlaces)
        if (uf == QLatin1String(p.uf))
            return QString::fromLatin1(p.code);
    return QStringLiteral("35");
}

QString nsuText(quint64 n) { return QStringLiteral("%1").arg(n, 15, 10, QLatin1Char('0')); }

QString dateTime(const QDateTime &t) { return t.toOffsetFromUtc(-3 * 3600).toString(Qt::ISODate); }

void writeParty(QXmlStreamWriter &w, const char *tag, const SimulatedAuthority::Party &p, bool withAddress)
{
    w.writeStartElement(QString::fromLatin1(tag));
    w.writeTextElement(SimulatedAuthority::docXmlTag(p.doc), p.doc);
    if (p.doc.size() == 14)
        w.writeTextElement(QStringLiteral("IE"), QStringLiteral("ISENTO"));
    w.writeTextElement(QStringLiteral("xNome"), p.name);
    if (withAddress) {
        w.writeStartElement(QStringLiteral("enderReme"));
        w.writeTextElement(QStringLiteral("xLgr"), QStringLiteral("Rua das Indústrias"));
        w.writeTextElement(QStringLiteral("nro"), QStringLiteral("100"));
        w.writeTextElement(QStringLiteral("xBairro"), QStringLiteral("Centro"));
        w.writeTextElement(QStringLiteral("xMun"), p.city);
        w.writeTextElement(QStringLiteral("UF"), p.uf);
        w.writeEndElement();
    }
    w.writeEndElement();
}
} // namespace

SimulatedAuthority::SimulatedAuthority(Clock clock, std::shared_ptr<const XmlSigner> signer)
    : m_clock(std::move(clock)), m_signer(std::move(signer))
{
    if (!m_signer) {
        // One key per process: generating it is the slow part.
        static const std::shared_ptr<const XmlSigner> own = XmlSigner::ephemeral(QStringLiteral("SEFAZ simulada"));
        m_signer = own;
    }
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

std::vector<SimulatedAuthority::Item> SimulatedAuthority::history(const QString &registration)
{
    const QDateTime now = m_clock();
    Rng r{seedOf(registration)};
    // A fixed day of the registration's own calendar, so that the items do not move
    // when the clock does: the history starts on it and grows by one item every few hours.
    const QDateTime epoch(QDate(2026, 1, 5).addDays(qint64(r.next() % 60)), QTime(8, 0), Qt::UTC);
    Rng seq{seedOf(registration) ^ 0x5bd1e995ULL};
    std::vector<Party> carriers;
    for (int i = 0; i < 10; ++i) {
        Party c = party(seq, true);
        if (i % 3 == 2)
            c.doc = alphanumericCnpj(c.doc); // some carriers already have a CNPJ with letters
        carriers.push_back(c);
    }
    std::vector<Party> partners;
    for (int i = 0; i < 16; ++i)
        partners.push_back(party(seq, false));
    const Party self{registration, QStringLiteral("Destinatário %1").arg(registration), QStringLiteral("SP"),
                     QStringLiteral("São Paulo")};
    std::vector<Item> out;
    QDateTime at = epoch;
    quint64 nsu = 0;
    int serial = 1000;
    while (true) {
        at = at.addSecs(qint64(seq.range(2, 9)) * 3600 + seq.range(0, 3599));
        if (at > now)
            break;
        Item it;
        it.nsu = ++nsu;
        it.at = at;
        const double roll = seq.unit();
        std::vector<int> open;
        if (roll < 0.12) {
            for (int i = int(out.size()) - 1; i >= 0 && i >= int(out.size()) - 30; --i)
                if (out[size_t(i)].kind == Item::Cte && out[size_t(i)].cancelProt.isEmpty() &&
                    out[size_t(i)].at.daysTo(at) <= 7)
                    open.push_back(i);
        }
        if (roll < 0.06) {
            it.kind = Item::Gap;
        } else if (!open.empty()) {
            it.kind = Item::Cancel;
            it.target = open[seq.next() % open.size()];
            it.cancelProt = QStringLiteral("1%1%2").arg(ufCode(out[size_t(it.target)].issuer.uf)).arg(seq.next() % 1000000000000ULL, 12, 10, QLatin1Char('0'));
            out[size_t(it.target)].cancelProt = it.cancelProt;
        } else {
            it.kind = Item::Cte;
            it.issuer = carriers[seq.next() % carriers.size()];
            const Party a = partners[seq.next() % partners.size()];
            const Party b = partners[seq.next() % partners.size()];
            const int role = seq.range(0, 9);
            // Mostly the company pays for the transport; sometimes it only receives the goods.
            if (role < 5) { it.rem = self; it.dest = a; it.toma = 0; }
            else if (role < 8) { it.rem = a; it.dest = self; it.toma = 3; }
            else if (role < 9) { it.rem = a; it.dest = self; it.toma = 0; }
            else { it.rem = a; it.dest = b; it.toma = 4; it.toma4 = self; }
            if (seq.range(0, 4) == 0)
                it.exped = partners[seq.next() % partners.size()];
            if (seq.range(0, 5) == 0)
                it.receb = partners[seq.next() % partners.size()];
            it.vTPrest = std::round(seq.range(15000, 2500000)) / 100.0;
            it.vRec = seq.range(0, 3) == 0 ? std::round(it.vTPrest * 95.0) / 100.0 : it.vTPrest;
            const QString uf = ufCode(it.issuer.uf);
            const QString aamm = at.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("yyMM"));
            const QString nct = QStringLiteral("%1").arg(++serial + int(seq.next() % 7), 9, 10, QLatin1Char('0'));
            const QString first43 = uf + aamm + it.issuer.doc + QStringLiteral("57") + QStringLiteral("001") + nct +
                                    QStringLiteral("1") + digits(seq, 8);
            it.key = first43 + QChar('0' + fiscal::accessKeyDigit(first43));
            it.nProt = QStringLiteral("1%1%2").arg(uf).arg(seq.next() % 1000000000000ULL, 12, 10, QLatin1Char('0'));
        }
        out.push_back(it);
    }
    return out;
}

namespace {
// The parts of a CTe as the simulation issues it.
void writeIde(QXmlStreamWriter &w, const SimulatedAuthority::Item &it)
{
    w.writeStartElement(QStringLiteral("ide"));
    w.writeTextElement(QStringLiteral("cUF"), it.key.left(2));
    w.writeTextElement(QStringLiteral("cCT"), it.key.mid(35, 8));
    w.writeTextElement(QStringLiteral("CFOP"), QStringLiteral("5353"));
    w.writeTextElement(QStringLiteral("natOp"), QStringLiteral("PRESTACAO DE SERVICO DE TRANSPORTE"));
    w.writeTextElement(QStringLiteral("mod"), QStringLiteral("57"));
    w.writeTextElement(QStringLiteral("serie"), QString::number(it.key.mid(22, 3).toInt()));
    w.writeTextElement(QStringLiteral("nCT"), QString::number(it.key.mid(25, 9).toInt()));
    w.writeTextElement(QStringLiteral("dhEmi"), dateTime(it.at.addSecs(-1800)));
    w.writeTextElement(QStringLiteral("tpImp"), QStringLiteral("1"));
    w.writeTextElement(QStringLiteral("tpEmis"), QStringLiteral("1"));
    w.writeTextElement(QStringLiteral("cDV"), it.key.right(1));
    w.writeTextElement(QStringLiteral("tpAmb"), QString::number(it.tpAmb));
    w.writeTextElement(QStringLiteral("tpCTe"), QStringLiteral("0"));
    w.writeTextElement(QStringLiteral("procEmi"), QStringLiteral("0"));
    w.writeTextElement(QStringLiteral("verProc"), QStringLiteral("4.00"));
    w.writeTextElement(QStringLiteral("xMunEnv"), it.issuer.city);
    w.writeTextElement(QStringLiteral("UFEnv"), it.issuer.uf);
    w.writeTextElement(QStringLiteral("modal"), QStringLiteral("01"));
    w.writeTextElement(QStringLiteral("tpServ"), QStringLiteral("0"));
    w.writeTextElement(QStringLiteral("xMunIni"), it.rem.city);
    w.writeTextElement(QStringLiteral("UFIni"), it.rem.uf);
    w.writeTextElement(QStringLiteral("xMunFim"), it.dest.city);
    w.writeTextElement(QStringLiteral("UFFim"), it.dest.uf);
    w.writeTextElement(QStringLiteral("retira"), QStringLiteral("1"));
    w.writeTextElement(QStringLiteral("indIEToma"), QStringLiteral("1"));
    if (it.toma == 4) {
        w.writeStartElement(QStringLiteral("toma4"));
        w.writeTextElement(QStringLiteral("toma"), QStringLiteral("4"));
        w.writeTextElement(SimulatedAuthority::docXmlTag(it.toma4.doc), it.toma4.doc);
        w.writeTextElement(QStringLiteral("xNome"), it.toma4.name);
        w.writeEndElement();
    } else {
        w.writeStartElement(QStringLiteral("toma3"));
        w.writeTextElement(QStringLiteral("toma"), QString::number(it.toma));
        w.writeEndElement();
    }
    w.writeEndElement(); // ide
}

void writeEmit(QXmlStreamWriter &w, const SimulatedAuthority::Item &it)
{
    w.writeStartElement(QStringLiteral("emit"));
    w.writeTextElement(QStringLiteral("CNPJ"), it.issuer.doc);
    w.writeTextElement(QStringLiteral("IE"), it.issuer.doc.mid(2, 12));
    w.writeTextElement(QStringLiteral("xNome"), it.issuer.name);
    w.writeStartElement(QStringLiteral("enderEmit"));
    w.writeTextElement(QStringLiteral("xLgr"), QStringLiteral("Avenida dos Transportes"));
    w.writeTextElement(QStringLiteral("nro"), QStringLiteral("1500"));
    w.writeTextElement(QStringLiteral("xBairro"), QStringLiteral("Distrito Industrial"));
    w.writeTextElement(QStringLiteral("xMun"), it.issuer.city);
    w.writeTextElement(QStringLiteral("UF"), it.issuer.uf);
    w.writeEndElement();
    w.writeTextElement(QStringLiteral("CRT"), QStringLiteral("3"));
    w.writeEndElement();
}

void writeValues(QXmlStreamWriter &w, const SimulatedAuthority::Item &it)
{
    w.writeStartElement(QStringLiteral("vPrest"));
    w.writeTextElement(QStringLiteral("vTPrest"), QString::number(it.vTPrest, 'f', 2));
    w.writeTextElement(QStringLiteral("vRec"), QString::number(it.vRec, 'f', 2));
    w.writeEndElement();
    w.writeStartElement(QStringLiteral("imp"));
    w.writeStartElement(QStringLiteral("ICMS"));
    w.writeStartElement(QStringLiteral("ICMS00"));
    w.writeTextElement(QStringLiteral("CST"), QStringLiteral("00"));
    w.writeTextElement(QStringLiteral("vBC"), QString::number(it.vTPrest, 'f', 2));
    w.writeTextElement(QStringLiteral("pICMS"), QStringLiteral("12.00"));
    w.writeTextElement(QStringLiteral("vICMS"), QString::number(std::round(it.vTPrest * 12.0) / 100.0, 'f', 2));
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement();
}

QByteArray protCte(const SimulatedAuthority::Item &it, const QByteArray &digest)
{
    QByteArray prot;
    QXmlStreamWriter p(&prot);
    p.writeStartElement(QStringLiteral("protCTe"));
    p.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    p.writeStartElement(QStringLiteral("infProt"));
    p.writeTextElement(QStringLiteral("tpAmb"), QString::number(it.tpAmb));
    p.writeTextElement(QStringLiteral("verAplic"), QStringLiteral("SIM-4.00"));
    p.writeTextElement(QStringLiteral("chCTe"), it.key);
    p.writeTextElement(QStringLiteral("dhRecbto"), dateTime(it.at));
    p.writeTextElement(QStringLiteral("nProt"), it.nProt);
    p.writeTextElement(QStringLiteral("digVal"), QString::fromLatin1(digest));
    p.writeTextElement(QStringLiteral("cStat"), QStringLiteral("100"));
    p.writeTextElement(QStringLiteral("xMotivo"), QStringLiteral("Autorizado o uso do CT-e"));
    p.writeEndElement();
    p.writeEndElement();
    return prot;
}
} // namespace

QByteArray SimulatedAuthority::procCTe(const Item &it) const
{
    // The CTe is written and signed on its own, then placed as it is inside cteProc:
    // its own namespace declaration keeps the signed bytes' canonical form unchanged.
    QByteArray cte;
    QXmlStreamWriter w(&cte);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("CTe"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeStartElement(QStringLiteral("infCte"));
    w.writeAttribute(QStringLiteral("Id"), QStringLiteral("CTe") + it.key);
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    writeIde(w, it);
    writeEmit(w, it);
    writeParty(w, "rem", it.rem, true);
    if (!it.exped.doc.isEmpty())
        writeParty(w, "exped", it.exped, false);
    if (!it.receb.doc.isEmpty())
        writeParty(w, "receb", it.receb, false);
    writeParty(w, "dest", it.dest, false);
    writeValues(w, it);
    w.writeEndElement(); // infCte
    w.writeEndElement(); // CTe
    w.writeEndDocument();
    QByteArray signedCte = m_signer->sign(cte, QStringLiteral("CTe") + it.key);
    signedCte = signedCte.mid(signedCte.indexOf("<CTe")).trimmed();
    const qsizetype dv = signedCte.indexOf("<DigestValue>") + 13;
    const QByteArray digest = signedCte.mid(dv, signedCte.indexOf("</DigestValue>") - dv);

    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<cteProc xmlns=\"" + QByteArray(kNs) + "\" versao=\"4.00\">" +
           signedCte + protCte(it, digest) + "</cteProc>\n";
}

QByteArray SimulatedAuthority::procEventoCancel(const Item &c, const Item &cte)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("procEventoCTe"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("eventoCTe"));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("infEvento"));
    w.writeAttribute(QStringLiteral("Id"), QStringLiteral("ID110111") + cte.key + QStringLiteral("001"));
    w.writeTextElement(QStringLiteral("cOrgao"), cte.key.left(2));
    w.writeTextElement(QStringLiteral("tpAmb"), QString::number(cte.tpAmb));
    w.writeTextElement(QStringLiteral("CNPJ"), cte.issuer.doc);
    w.writeTextElement(QStringLiteral("chCTe"), cte.key);
    w.writeTextElement(QStringLiteral("dhEvento"), dateTime(c.at.addSecs(-600)));
    w.writeTextElement(QStringLiteral("tpEvento"), QStringLiteral("110111"));
    w.writeTextElement(QStringLiteral("nSeqEvento"), QStringLiteral("1"));
    w.writeStartElement(QStringLiteral("detEvento"));
    w.writeAttribute(QStringLiteral("versaoEvento"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("evCancCTe"));
    w.writeTextElement(QStringLiteral("descEvento"), QStringLiteral("Cancelamento"));
    w.writeTextElement(QStringLiteral("nProt"), cte.nProt);
    w.writeTextElement(QStringLiteral("xJust"), QStringLiteral("Erro na emissão: valor do frete incorreto"));
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement(); // eventoCTe
    w.writeStartElement(QStringLiteral("retEventoCTe"));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("infEvento"));
    w.writeTextElement(QStringLiteral("tpAmb"), QString::number(cte.tpAmb));
    w.writeTextElement(QStringLiteral("verAplic"), QStringLiteral("SIM-4.00"));
    w.writeTextElement(QStringLiteral("cOrgao"), cte.key.left(2));
    w.writeTextElement(QStringLiteral("cStat"), QStringLiteral("135"));
    w.writeTextElement(QStringLiteral("xMotivo"), QStringLiteral("Evento registrado e vinculado a CT-e"));
    w.writeTextElement(QStringLiteral("chCTe"), cte.key);
    w.writeTextElement(QStringLiteral("tpEvento"), QStringLiteral("110111"));
    w.writeTextElement(QStringLiteral("xEvento"), QStringLiteral("Cancelamento"));
    w.writeTextElement(QStringLiteral("nSeqEvento"), QStringLiteral("1"));
    w.writeTextElement(QStringLiteral("dhRegEvento"), dateTime(c.at));
    w.writeTextElement(QStringLiteral("nProt"), c.cancelProt);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}

namespace {
QByteArray retDist(const QString &cStat, const QString &xMotivo, const QString &ultNSU, const QString &maxNSU,
                   std::vector<dist::DocZip> docs = {})
{
    dist::Answer a;
    a.cStat = cStat;
    a.xMotivo = xMotivo;
    a.ultNSU = ultNSU;
    a.maxNSU = maxNSU;
    a.docs = std::move(docs);
    return dist::answer(a);
}
} // namespace

std::optional<dist::DocZip> SimulatedAuthority::docZip(const std::vector<Item> &h, const Item &it) const
{
    auto zip = [&](const char *schema, const QByteArray &xml) {
        return dist::DocZip{nsuText(it.nsu), QString::fromLatin1(schema), xmlutil::gzip(xml).toBase64()};
    };
    if (it.kind == Item::Cte)
        return zip("procCTe_v4.00.xsd", procCTe(it));
    if (it.kind == Item::Cancel)
        return zip("procEventoCTe_v4.00.xsd", procEventoCancel(it, h[size_t(it.target)]));
    return std::nullopt;
}

QByteArray SimulatedAuthority::distDFeInt(const QByteArray &request)
{
    dist::Query q;
    try {
        q = dist::readRequest(request);
    } catch (const std::exception &) {
        return retDist(QStringLiteral("243"), QStringLiteral("Rejeição: XML mal formado"), QString(), QString());
    }
    const QString &reg = q.registration;
    const QString ult = q.ultNSU;
    if (!(fiscal::validCnpj(reg) || fiscal::validCpf(reg)))
        return retDist(QStringLiteral("215"), QStringLiteral("Rejeição: CNPJ/CPF do interessado inválido"), ult, ult);
    const QString asked = q.nsu.isEmpty() ? ult : q.nsu;
    if (asked.size() != 15 || !fiscal::allDigits(asked))
        return retDist(QStringLiteral("215"), QStringLiteral("Rejeição: NSU inválido"), ult, ult);
    const std::vector<Item> h = history(reg);
    const quint64 top = h.empty() ? 0 : h.back().nsu;
    if (!q.nsu.isEmpty()) {
        const quint64 n = q.nsu.toULongLong();
        std::optional<dist::DocZip> d;
        if (n >= 1 && n <= top)
            d = docZip(h, h[size_t(n - 1)]);
        if (!d)
            return retDist(QStringLiteral("137"), QStringLiteral("Nenhum documento localizado"), q.nsu, nsuText(top));
        return retDist(QStringLiteral("138"), QStringLiteral("Documento(s) localizado(s)"), q.nsu, nsuText(top), {*d});
    }
    const quint64 after = ult.toULongLong();
    const quint64 max = std::max(after, top);
    std::vector<dist::DocZip> docs;
    quint64 last = after;
    int taken = 0;
    for (const Item &it : h) {
        if (it.nsu <= after)
            continue;
        if (taken == kPageSize)
            break;
        ++taken;
        last = it.nsu;
        if (std::optional<dist::DocZip> d = docZip(h, it))
            docs.push_back(*d);
    }
    if (taken == 0)
        return retDist(QStringLiteral("137"), QStringLiteral("Nenhum documento localizado"), ult, nsuText(max));
    return retDist(QStringLiteral("138"), QStringLiteral("Documento(s) localizado(s)"), nsuText(last), nsuText(max), docs);
}

QByteArray SimulatedAuthority::eventoCTe(const QByteArray &request)
{
    evento::Fields f;
    auto answer = [&](const QString &cStat, const QString &xMotivo, const QString &key, const QString &prot) {
        QByteArray xml;
        QXmlStreamWriter w(&xml);
        w.writeStartDocument(QStringLiteral("1.0"));
        w.writeStartElement(QStringLiteral("retEventoCTe"));
        w.writeDefaultNamespace(QString::fromLatin1(kNs));
        w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
        w.writeStartElement(QStringLiteral("infEvento"));
        w.writeTextElement(QStringLiteral("tpAmb"), f.tpAmb.isEmpty() ? QStringLiteral("1") : f.tpAmb);
        w.writeTextElement(QStringLiteral("verAplic"), QStringLiteral("SIM-4.00"));
        w.writeTextElement(QStringLiteral("cOrgao"), key.left(2));
        w.writeTextElement(QStringLiteral("cStat"), cStat);
        w.writeTextElement(QStringLiteral("xMotivo"), xMotivo);
        if (!prot.isEmpty()) {
            w.writeTextElement(QStringLiteral("chCTe"), key);
            w.writeTextElement(QStringLiteral("tpEvento"), QStringLiteral("610110"));
            w.writeTextElement(QStringLiteral("xEvento"), QStringLiteral("Prestação do Serviço em Desacordo"));
            w.writeTextElement(QStringLiteral("nSeqEvento"), f.nSeqEvento);
            w.writeTextElement(QStringLiteral("dhRegEvento"), dateTime(m_clock()));
            w.writeTextElement(QStringLiteral("nProt"), prot);
        }
        w.writeEndElement();
        w.writeEndElement();
        w.writeEndDocument();
        return xml;
    };
    try {
        f = evento::read(request);
    } catch (const std::exception &) {
        return answer(QStringLiteral("243"), QStringLiteral("Rejeição: XML mal formado"), QString(), QString());
    }
    const QString &key = f.key, &author = f.author, &obs = f.xObs;
    if (f.tpEvento != QLatin1String("610110"))
        return answer(QStringLiteral("490"), QStringLiteral("Rejeição: Tipo de evento não suportado"), key, QString());
    if (!fiscal::validAccessKey(key))
        return answer(QStringLiteral("236"), QStringLiteral("Rejeição: Chave de Acesso com dígito verificador inválido"), key, QString());
    const qsizetype obsLength = obs.toUcs4().size();
    if (obsLength < 15 || obsLength > 255 || obs != obs.trimmed())
        return answer(QStringLiteral("225"), QStringLiteral("Rejeição: Falha no Schema XML do evento (xObs)"), key, QString());
    const std::vector<Item> h = history(author);
    const Item *cte = nullptr;
    for (const Item &it : h)
        if (it.kind == Item::Cte && it.key == key)
            cte = &it;
    if (!cte)
        return answer(QStringLiteral("217"), QStringLiteral("Rejeição: CT-e não consta na base de dados da SEFAZ"), key, QString());
    if (!cte->cancelProt.isEmpty())
        return answer(QStringLiteral("218"), QStringLiteral("Rejeição: CT-e já está cancelado na base de dados da SEFAZ"), key, QString());
    const QString taker = cte->toma == 0 ? cte->rem.doc : cte->toma == 1 ? cte->exped.doc
                        : cte->toma == 2 ? cte->receb.doc : cte->toma == 3 ? cte->dest.doc : cte->toma4.doc;
    if (taker != author)
        return answer(QStringLiteral("632"), QStringLiteral("Rejeição: O autor do evento deve ser o tomador do serviço do CT-e"), key, QString());
    if (cte->at.daysTo(m_clock()) > 45)
        return answer(QStringLiteral("631"), QStringLiteral("Rejeição: Evento registrado após 45 dias da autorização do CT-e"), key, QString());
    QMutexLocker lock(&m_mutex);
    if (m_disagreements.contains(f.id))
        return answer(QStringLiteral("631"), QStringLiteral("Rejeição: Duplicidade de evento"), key, QString());
    m_disagreements.insert(f.id);
    return answer(QStringLiteral("135"), QStringLiteral("Evento registrado e vinculado a CT-e"), key,
                  QStringLiteral("1%1%2").arg(key.left(2)).arg(quint64(seedOf(f.id)) % 1000000000000ULL, 12, 10, QLatin1Char('0')));
}
