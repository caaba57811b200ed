#include "SimulatedAuthority.h"
#include "authority/EventMessages.h"
#include "Fiscal.h"
#include "authority/OfficialSchemas.h"
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
    const char *uf, *code, *city, *cMun;
};
const Place kPlaces[] = {{"SP", "35", "São Paulo", "3550308"},         {"SP", "35", "Campinas", "3509502"},
                         {"PR", "41", "Curitiba", "4106902"},          {"MG", "31", "Belo Horizonte", "3106200"},
                         {"RJ", "33", "Rio de Janeiro", "3304557"},    {"SC", "42", "Joinville", "4209102"},
                         {"RS", "43", "Porto Alegre", "4314902"},      {"GO", "52", "Goiânia", "5208707"},
                         {"BA", "29", "Salvador", "2927408"}};
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
            QString::fromLatin1(p.uf), QString::fromUtf8(p.city), QString::fromLatin1(p.cMun)};
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

} // namespace

namespace {
// Every kind the distribution delivers, from the serial, so the history's draws stay as
// they were; a CT-e OS keeps only its service taker. The key's model digits.
QString chooseModel(SimulatedAuthority::Item &it, int serial, const SimulatedAuthority::Party &osTaker)
{
    using Item = SimulatedAuthority::Item;
    static const Item::Model kModels[] = {Item::Normal, Item::Normal, Item::Os, Item::Normal, Item::Gtv,
                                          Item::Normal, Item::Normal, Item::Simplified};
    it.model = kModels[serial % 8];
    if (it.model == Item::Os) {
        it.toma = 4;
        it.toma4 = osTaker;
        it.rem = it.dest = it.exped = it.receb = SimulatedAuthority::Party{};
    } else if (it.model != Item::Normal) {
        it.exped = it.receb = SimulatedAuthority::Party{};
    }
    return it.model == Item::Os ? QStringLiteral("67") : it.model == Item::Gtv ? QStringLiteral("64") : QStringLiteral("57");
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
                     QStringLiteral("São Paulo"), QStringLiteral("3550308")};
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
            const QString model = chooseModel(it, serial, role < 8 ? self : a);
            const QString first43 = uf + aamm + it.issuer.doc + model + QStringLiteral("001") + nct +
                                    QStringLiteral("1") + digits(seq, 8);
            it.key = first43 + QChar('0' + fiscal::accessKeyDigit(first43));
            it.nProt = QStringLiteral("1%1%2").arg(uf).arg(seq.next() % 1000000000000ULL, 12, 10, QLatin1Char('0'));
        }
        out.push_back(it);
    }
    return out;
}

namespace {
using Item = SimulatedAuthority::Item;
using Party = SimulatedAuthority::Party;

void texts(QXmlStreamWriter &w, std::initializer_list<std::pair<const char *, QString>> elements)
{
    for (const auto &[name, value] : elements)
        w.writeTextElement(QString::fromLatin1(name), value);
}

// Digits only, as the layout takes a state registration, even for a CNPJ with letters.
QString stateRegistration(const QString &doc)
{
    QString ie = doc.mid(2, 12);
    for (QChar &c : ie)
        if (!c.isDigit())
            c = QChar('0' + c.unicode() % 10);
    return ie;
}

void address(QXmlStreamWriter &w, const char *tag, const Party &p, const char *street, const char *number)
{
    w.writeStartElement(QString::fromLatin1(tag));
    texts(w, {{"xLgr", QString::fromUtf8(street)}, {"nro", QString::fromLatin1(number)}, {"xBairro", QStringLiteral("Centro")},
              {"cMun", p.cMun}, {"xMun", p.city}, {"UF", p.uf}});
    w.writeEndElement();
}

void party(QXmlStreamWriter &w, const char *tag, const char *addressTag, const Party &p)
{
    w.writeStartElement(QString::fromLatin1(tag));
    w.writeTextElement(SimulatedAuthority::docXmlTag(p.doc), p.doc);
    if (p.doc.size() == 14)
        w.writeTextElement(QStringLiteral("IE"), QStringLiteral("ISENTO"));
    w.writeTextElement(QStringLiteral("xNome"), p.name);
    address(w, addressTag, p, "Rua das Indústrias", "100");
    w.writeEndElement();
}

const char *rootOf(Item::Model m)
{
    switch (m) {
    case Item::Os: return "CTeOS";
    case Item::Gtv: return "GTVe";
    case Item::Simplified: return "CTeSimp";
    case Item::Normal: break;
    }
    return "CTe";
}

void writeTaker(QXmlStreamWriter &w, const Item &it)
{
    if (it.model == Item::Gtv) {
        // The GTV-e numbers its taker 0 (sender) or 1 (receiver).
        w.writeStartElement(it.toma == 4 ? QStringLiteral("tomaTerceiro") : QStringLiteral("toma"));
        w.writeTextElement(QStringLiteral("toma"), it.toma == 3 ? QStringLiteral("1") : QString::number(it.toma));
        if (it.toma == 4) {
            w.writeTextElement(SimulatedAuthority::docXmlTag(it.toma4.doc), it.toma4.doc);
            w.writeTextElement(QStringLiteral("xNome"), it.toma4.name);
            address(w, "enderToma", it.toma4, "Rua das Indústrias", "100");
        }
        w.writeEndElement();
        return;
    }
    w.writeStartElement(it.toma == 4 ? QStringLiteral("toma4") : QStringLiteral("toma3"));
    w.writeTextElement(QStringLiteral("toma"), QString::number(it.toma));
    if (it.toma == 4) {
        w.writeTextElement(SimulatedAuthority::docXmlTag(it.toma4.doc), it.toma4.doc);
        w.writeTextElement(QStringLiteral("xNome"), it.toma4.name);
        address(w, "enderToma", it.toma4, "Rua das Indústrias", "100");
    }
    w.writeEndElement();
}

void writeIde(QXmlStreamWriter &w, const Item &it, const Party &from, const Party &to)
{
    const bool gtv = it.model == Item::Gtv;
    w.writeStartElement(QStringLiteral("ide"));
    texts(w, {{"cUF", it.key.left(2)}, {"cCT", it.key.mid(35, 8)}, {"CFOP", QStringLiteral("5353")},
              {"natOp", QStringLiteral("PRESTACAO DE SERVICO DE TRANSPORTE")}, {"mod", it.key.mid(20, 2)},
              {"serie", QString::number(it.key.mid(22, 3).toInt())}, {"nCT", QString::number(it.key.mid(25, 9).toInt())},
              {"dhEmi", dateTime(it.at.addSecs(-1800))}, {"tpImp", QStringLiteral("1")}, {"tpEmis", QStringLiteral("1")},
              {"cDV", it.key.right(1)}, {"tpAmb", QString::number(it.tpAmb)},
              {"tpCTe", gtv ? QStringLiteral("4") : it.model == Item::Simplified ? QStringLiteral("5") : QStringLiteral("0")}});
    if (!gtv)
        w.writeTextElement(QStringLiteral("procEmi"), QStringLiteral("0"));
    texts(w, {{"verProc", QStringLiteral("SIM-4.00")}, {"cMunEnv", it.issuer.cMun}, {"xMunEnv", it.issuer.city},
              {"UFEnv", it.issuer.uf}, {"modal", QStringLiteral("01")},
              {"tpServ", gtv ? QStringLiteral("9") : it.model == Item::Os ? QStringLiteral("6") : QStringLiteral("0")}});
    if (it.model == Item::Simplified) {
        texts(w, {{"UFIni", from.uf}, {"UFFim", to.uf}, {"retira", QStringLiteral("1")}});
    } else if (gtv) {
        texts(w, {{"indIEToma", QStringLiteral("1")}, {"dhSaidaOrig", dateTime(it.at.addSecs(-1200))},
                  {"dhChegadaDest", dateTime(it.at.addSecs(6 * 3600))}});
        writeTaker(w, it);
    } else {
        if (it.model == Item::Os)
            w.writeTextElement(QStringLiteral("indIEToma"), QStringLiteral("1"));
        texts(w, {{"cMunIni", from.cMun}, {"xMunIni", from.city}, {"UFIni", from.uf}, {"cMunFim", to.cMun},
                  {"xMunFim", to.city}, {"UFFim", to.uf}});
        if (it.model == Item::Normal) {
            texts(w, {{"retira", QStringLiteral("1")}, {"indIEToma", QStringLiteral("1")}});
            writeTaker(w, it);
        }
    }
    w.writeEndElement();
}

void writeEmit(QXmlStreamWriter &w, const Item &it)
{
    w.writeStartElement(QStringLiteral("emit"));
    texts(w, {{"CNPJ", it.issuer.doc}, {"IE", stateRegistration(it.issuer.doc)}, {"xNome", it.issuer.name}});
    address(w, "enderEmit", it.issuer, "Avenida dos Transportes", "1500");
    if (it.model != Item::Gtv)
        w.writeTextElement(QStringLiteral("CRT"), QStringLiteral("3"));
    w.writeEndElement();
}

void writeValues(QXmlStreamWriter &w, const Item &it)
{
    if (it.model != Item::Simplified) {
        w.writeStartElement(QStringLiteral("vPrest"));
        texts(w, {{"vTPrest", QString::number(it.vTPrest, 'f', 2)}, {"vRec", QString::number(it.vRec, 'f', 2)}});
        w.writeEndElement();
    }
    w.writeStartElement(QStringLiteral("imp"));
    w.writeStartElement(QStringLiteral("ICMS"));
    w.writeStartElement(QStringLiteral("ICMS00"));
    texts(w, {{"CST", QStringLiteral("00")}, {"vBC", QString::number(it.vTPrest, 'f', 2)}, {"pICMS", QStringLiteral("12.00")},
              {"vICMS", QString::number(std::round(it.vTPrest * 12.0) / 100.0, 'f', 2)}});
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement();
}

void writeCargo(QXmlStreamWriter &w, const Item &it)
{
    w.writeStartElement(QStringLiteral("infCarga"));
    texts(w, {{"vCarga", QString::number(it.vTPrest * 20, 'f', 2)}, {"proPred", QStringLiteral("Mercadorias em geral")}});
    w.writeStartElement(QStringLiteral("infQ"));
    texts(w, {{"cUnid", QStringLiteral("01")}, {"tpMed", it.model == Item::Simplified ? QStringLiteral("01") : QStringLiteral("PESO BRUTO")},
              {"qCarga", QStringLiteral("1250.0000")}});
    w.writeEndElement();
    w.writeEndElement();
}

// A goods invoice key of the sender, valid by its check digit.
QString invoiceKey(const Item &it, const Party &sender)
{
    QString doc = sender.doc.size() == 14 ? sender.doc : QStringLiteral("000") + sender.doc;
    const QString first43 = it.key.left(6) + doc + QStringLiteral("55001") + it.key.mid(25, 9) + QStringLiteral("1") + it.key.mid(35, 8);
    return first43 + QChar('0' + fiscal::accessKeyDigit(first43));
}

void writeModal(QXmlStreamWriter &w, const char *modal, const char *field, const QString &value)
{
    w.writeStartElement(QStringLiteral("infModal"));
    w.writeAttribute(QStringLiteral("versaoModal"), QStringLiteral("4.00"));
    w.writeStartElement(QString::fromLatin1(modal));
    w.writeTextElement(QString::fromLatin1(field), value);
    w.writeEndElement();
    w.writeEndElement();
}

void writeNormalBody(QXmlStreamWriter &w, const Item &it)
{
    party(w, "rem", "enderReme", it.rem);
    if (!it.exped.doc.isEmpty())
        party(w, "exped", "enderExped", it.exped);
    if (!it.receb.doc.isEmpty())
        party(w, "receb", "enderReceb", it.receb);
    party(w, "dest", "enderDest", it.dest);
    writeValues(w, it);
    w.writeStartElement(QStringLiteral("infCTeNorm"));
    writeCargo(w, it);
    w.writeStartElement(QStringLiteral("infDoc"));
    w.writeStartElement(QStringLiteral("infNFe"));
    w.writeTextElement(QStringLiteral("chave"), invoiceKey(it, it.rem));
    w.writeEndElement();
    w.writeEndElement();
    writeModal(w, "rodo", "RNTRC", it.issuer.doc.right(8));
    w.writeEndElement();
}

void writeOsBody(QXmlStreamWriter &w, const Item &it)
{
    party(w, "toma", "enderToma", it.toma4);
    writeValues(w, it);
    w.writeStartElement(QStringLiteral("infCTeNorm"));
    w.writeStartElement(QStringLiteral("infServico"));
    w.writeTextElement(QStringLiteral("xDescServ"), QStringLiteral("Fretamento de passageiros"));
    w.writeEndElement();
    writeModal(w, "rodoOS", "TAF", it.issuer.doc.right(12).rightJustified(12, QLatin1Char('0')));
    w.writeEndElement();
}

void writeGtvBody(QXmlStreamWriter &w, const Item &it)
{
    party(w, "rem", "enderReme", it.rem);
    party(w, "dest", "enderDest", it.dest);
    w.writeStartElement(QStringLiteral("detGTV"));
    w.writeStartElement(QStringLiteral("infEspecie"));
    texts(w, {{"tpEspecie", QStringLiteral("1")}, {"vEspecie", QString::number(it.vTPrest * 40, 'f', 2)},
              {"tpNumerario", QStringLiteral("1")}});
    w.writeEndElement();
    w.writeTextElement(QStringLiteral("qCarga"), QStringLiteral("1.0000"));
    w.writeStartElement(QStringLiteral("infVeiculo"));
    texts(w, {{"placa", QStringLiteral("ABC1D23")}, {"UF", it.issuer.uf}});
    w.writeEndElement();
    w.writeEndElement();
}

void writeSimplifiedBody(QXmlStreamWriter &w, const Item &it, const Party &taker)
{
    w.writeStartElement(QStringLiteral("toma"));
    texts(w, {{"toma", QString::number(it.toma)}, {"indIEToma", QStringLiteral("1")}});
    w.writeTextElement(SimulatedAuthority::docXmlTag(taker.doc), taker.doc);
    if (taker.doc.size() == 14)
        w.writeTextElement(QStringLiteral("IE"), QStringLiteral("ISENTO"));
    w.writeTextElement(QStringLiteral("xNome"), taker.name);
    address(w, "enderToma", taker, "Rua das Indústrias", "100");
    w.writeEndElement();
    writeCargo(w, it);
    w.writeStartElement(QStringLiteral("det"));
    w.writeAttribute(QStringLiteral("nItem"), QStringLiteral("1"));
    texts(w, {{"cMunIni", it.rem.cMun}, {"xMunIni", it.rem.city}, {"cMunFim", it.dest.cMun}, {"xMunFim", it.dest.city},
              {"vPrest", QString::number(it.vTPrest, 'f', 2)}, {"vRec", QString::number(it.vRec, 'f', 2)}});
    w.writeStartElement(QStringLiteral("infNFe"));
    w.writeTextElement(QStringLiteral("chNFe"), invoiceKey(it, it.rem));
    w.writeEndElement();
    w.writeEndElement();
    writeModal(w, "rodo", "RNTRC", it.issuer.doc.right(8));
    writeValues(w, it);
    w.writeStartElement(QStringLiteral("total"));
    texts(w, {{"vTPrest", QString::number(it.vTPrest, 'f', 2)}, {"vTRec", QString::number(it.vRec, 'f', 2)}});
    w.writeEndElement();
}

// The unsigned document: root, infCte and, where the layout asks for it, infCTeSupl.
QByteArray unsignedDocument(const Item &it)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QString::fromLatin1(rootOf(it.model)));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    if (it.model == Item::Os || it.model == Item::Gtv)
        w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("infCte"));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeAttribute(QStringLiteral("Id"), QStringLiteral("CTe") + it.key);
    const Party &from = it.model == Item::Os ? it.issuer : it.rem;
    const Party &to = it.model == Item::Os ? it.toma4 : it.dest;
    writeIde(w, it, from, to);
    writeEmit(w, it);
    switch (it.model) {
    case Item::Normal: writeNormalBody(w, it); break;
    case Item::Os: writeOsBody(w, it); break;
    case Item::Gtv: writeGtvBody(w, it); break;
    case Item::Simplified: writeSimplifiedBody(w, it, SimulatedAuthority::taker(it)); break;
    }
    w.writeEndElement(); // infCte
    if (it.model != Item::Normal) {
        w.writeStartElement(QStringLiteral("infCTeSupl"));
        w.writeTextElement(QStringLiteral("qrCodCTe"), QStringLiteral("https://nfe.fazenda.sp.gov.br/CTeConsulta/qrCode?chCTe=%1&tpAmb=%2")
                                                            .arg(it.key).arg(it.tpAmb));
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}
} // namespace

const SimulatedAuthority::Party &SimulatedAuthority::taker(const Item &it)
{
    switch (it.toma) {
    case 0: return it.rem;
    case 1: return it.exped;
    case 2: return it.receb;
    case 3: return it.dest;
    default: return it.toma4;
    }
}

QString SimulatedAuthority::procSchema(const Item &it)
{
    switch (it.model) {
    case Item::Os: return QStringLiteral("procCTeOS_v4.00.xsd");
    case Item::Gtv: return QStringLiteral("procGTVe_v4.00.xsd");
    case Item::Simplified: return QStringLiteral("procCTeSimp_v4.00.xsd");
    case Item::Normal: break;
    }
    return QStringLiteral("procCTe_v4.00.xsd");
}

QByteArray SimulatedAuthority::procCTe(const Item &it) const
{
    // The document is signed on its own, then placed as it is inside the proc:
    // its own namespace declaration keeps the signed bytes' canonical form unchanged.
    const char *root = rootOf(it.model);
    QByteArray signedDoc = m_signer->sign(unsignedDocument(it), QStringLiteral("CTe") + it.key);
    signedDoc = signedDoc.mid(signedDoc.indexOf(QByteArray("<") + root)).trimmed();
    const qsizetype dv = signedDoc.indexOf("<DigestValue>") + 13;
    const QByteArray digest = signedDoc.mid(dv, signedDoc.indexOf("</DigestValue>") - dv);

    QByteArray prot;
    QXmlStreamWriter p(&prot);
    p.writeStartElement(QStringLiteral("protCTe"));
    p.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    p.writeStartElement(QStringLiteral("infProt"));
    texts(p, {{"tpAmb", QString::number(it.tpAmb)}, {"verAplic", QStringLiteral("SIM-4.00")}, {"chCTe", it.key},
              {"dhRecbto", dateTime(it.at)}, {"nProt", it.nProt}, {"digVal", QString::fromLatin1(digest)},
              {"cStat", QStringLiteral("100")}, {"xMotivo", QStringLiteral("Autorizado o uso do CT-e")}});
    p.writeEndElement();
    p.writeEndElement();
    static const QHash<QString, QByteArray> procRoots = {
        {QStringLiteral("CTe"), "cteProc"}, {QStringLiteral("CTeOS"), "cteOSProc"},
        {QStringLiteral("GTVe"), "GTVeProc"}, {QStringLiteral("CTeSimp"), "cteSimpProc"}};
    const QByteArray proc = procRoots.value(QString::fromLatin1(root));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + proc + " xmlns=\"" + QByteArray(kNs) + "\" versao=\"4.00\">" +
           signedDoc + prot + "</" + proc + ">\n";
}

QByteArray SimulatedAuthority::procEvento(const IssuedEvent &e, const std::function<void(QXmlStreamWriter &)> &payload) const
{
    const QString id = QStringLiteral("ID%1%2%3").arg(e.type, e.cte->key).arg(e.sequence, 3, 10, QLatin1Char('0'));
    QByteArray event;
    QXmlStreamWriter w(&event);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("eventoCTe"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("infEvento"));
    w.writeAttribute(QStringLiteral("Id"), id);
    texts(w, {{"cOrgao", e.cte->key.left(2)}, {"tpAmb", QString::number(e.cte->tpAmb)}});
    w.writeTextElement(docXmlTag(e.author), e.author);
    texts(w, {{"chCTe", e.cte->key}, {"dhEvento", dateTime(e.at.addSecs(-600))}, {"tpEvento", e.type},
              {"nSeqEvento", QString::number(e.sequence)}});
    w.writeStartElement(QStringLiteral("detEvento"));
    w.writeAttribute(QStringLiteral("versaoEvento"), QStringLiteral("4.00"));
    payload(w);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    const QByteArray signedEvent = m_signer->sign(event, id);

    QByteArray ret;
    QXmlStreamWriter r(&ret);
    r.writeStartElement(QStringLiteral("retEventoCTe"));
    r.writeDefaultNamespace(QString::fromLatin1(kNs));
    r.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    r.writeStartElement(QStringLiteral("infEvento"));
    texts(r, {{"tpAmb", QString::number(e.cte->tpAmb)}, {"verAplic", QStringLiteral("SIM-4.00")},
              {"cOrgao", e.cte->key.left(2)}, {"cStat", QStringLiteral("135")},
              {"xMotivo", QStringLiteral("Evento registrado e vinculado a CT-e")}, {"chCTe", e.cte->key},
              {"tpEvento", e.type}, {"xEvento", e.description}, {"nSeqEvento", QString::number(e.sequence)},
              {"dhRegEvento", dateTime(e.at)}, {"nProt", e.protocol}});
    r.writeEndElement();
    r.writeEndElement();
    return evento::proc(signedEvent, ret);
}

QByteArray SimulatedAuthority::procEventoDisagreement(const Item &cte, int sequence, const QDateTime &at,
                                                      const QString &protocol) const
{
    const QString description = QString::fromUtf8(evento::kDescription);
    const IssuedEvent e{QStringLiteral("610110"), description, &cte, taker(cte).doc, at, sequence, protocol};
    return procEvento(e, [&](QXmlStreamWriter &w) {
        w.writeStartElement(QStringLiteral("evPrestDesacordo"));
        texts(w, {{"descEvento", description}, {"indDesacordoOper", QStringLiteral("1")},
                  {"xObs", QStringLiteral("Mercadoria recusada pelo destinatário: frete cobrado em duplicidade")}});
        w.writeEndElement();
    });
}

QByteArray SimulatedAuthority::procEventoUndo(const Item &cte, int sequence, const QDateTime &at, const QString &protocol,
                                              const QString &disagreementProtocol) const
{
    const QString description = QStringLiteral("Cancelamento Prestação do Serviço em Desacordo");
    const IssuedEvent e{QStringLiteral("610111"), description, &cte, taker(cte).doc, at, sequence, protocol};
    return procEvento(e, [&](QXmlStreamWriter &w) {
        w.writeStartElement(QStringLiteral("evCancPrestDesacordo"));
        texts(w, {{"descEvento", description}, {"nProtEvPrestDes", disagreementProtocol}});
        w.writeEndElement();
    });
}

QByteArray SimulatedAuthority::procEventoCancel(const Item &c, const Item &cte) const
{
    const IssuedEvent e{QStringLiteral("110111"), QStringLiteral("Cancelamento"), &cte, cte.issuer.doc, c.at, 1, c.cancelProt};
    return procEvento(e, [&](QXmlStreamWriter &w) {
        w.writeStartElement(QStringLiteral("evCancCTe"));
        texts(w, {{"descEvento", QStringLiteral("Cancelamento")}, {"nProt", cte.nProt},
                  {"xJust", QStringLiteral("Erro na emissão: valor do frete incorreto")}});
        w.writeEndElement();
    });
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
        return dist::DocZip{nsuText(it.nsu), procSchema(it), xmlutil::gzip(procCTe(it)).toBase64()};
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

QByteArray SimulatedAuthority::prepareEvent(const evento::Disagreement &d)
{
    // The simulation's key stands in for the company's certificate.
    return evento::withoutDeclaration(m_signer->sign(evento::build(d, false), evento::id(d)));
}

namespace {
// What the authority checks of the message before it looks the CT-e up: its schema
// (the payload's too), then its signature. Empty with both set when it passes.
std::pair<QString, QString> formRefusal(const QByteArray &request, const evento::Fields &f)
{
    const QString payloadSchema = f.tpEvento == QLatin1String(evento::kType)       ? QStringLiteral("evPrestDesacordo_v4.00.xsd")
                                  : f.tpEvento == QLatin1String(evento::kUndoType) ? QStringLiteral("evCancPrestDesacordo_v4.00.xsd")
                                                                                   : QString();
    QString problem = schemas::problem(request, QStringLiteral("eventoCTe_v4.00.xsd"));
    if (problem.isEmpty() && !payloadSchema.isEmpty())
        problem = schemas::problem(schemas::firstChildOf(request, QStringLiteral("detEvento")), payloadSchema);
    if (!problem.isEmpty())
        return {QStringLiteral("215"), QStringLiteral("Rejeição: Falha no schema XML")};
    if (!XmlSigner::verify(request, f.id).isEmpty())
        return {QStringLiteral("297"), QStringLiteral("Rejeição: Assinatura difere do calculado")};
    return {};
}
} // namespace

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
            const bool undo = f.tpEvento == QLatin1String(evento::kUndoType);
            w.writeTextElement(QStringLiteral("tpEvento"), f.tpEvento);
            w.writeTextElement(QStringLiteral("xEvento"), QString::fromUtf8(undo ? evento::kUndoDescription : evento::kDescription));
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
    const QString &key = f.key, &author = f.author;
    if (const auto [cStat, xMotivo] = formRefusal(request, f); !cStat.isEmpty())
        return answer(cStat, xMotivo, key, QString());
    if (f.tpEvento != QLatin1String(evento::kType) && f.tpEvento != QLatin1String(evento::kUndoType))
        return answer(QStringLiteral("490"), QStringLiteral("Rejeição: Tipo de evento não suportado"), key, QString());
    if (!fiscal::validAccessKey(key))
        return answer(QStringLiteral("236"), QStringLiteral("Rejeição: Chave de Acesso com dígito verificador inválido"), key, QString());
    const std::vector<Item> h = history(author);
    const Item *cte = nullptr;
    for (const Item &it : h)
        if (it.kind == Item::Cte && it.key == key)
            cte = &it;
    if (!cte)
        return answer(QStringLiteral("217"), QStringLiteral("Rejeição: CT-e não consta na base de dados da SEFAZ"), key, QString());
    if (!cte->cancelProt.isEmpty())
        return answer(QStringLiteral("218"), QStringLiteral("Rejeição: CT-e já está cancelado na base de dados da SEFAZ"), key, QString());
    if (taker(*cte).doc != author)
        return answer(QStringLiteral("632"), QStringLiteral("Rejeição: O autor do evento deve ser o tomador do serviço do CT-e"), key, QString());
    if (cte->at.daysTo(m_clock()) > 45)
        return answer(QStringLiteral("631"), QStringLiteral("Rejeição: Evento registrado após 45 dias da autorização do CT-e"), key, QString());
    QMutexLocker lock(&m_mutex);
    // The same type, key and sequence again: the authority names the protocol it already gave.
    if (const auto done = m_disagreements.constFind(f.id); done != m_disagreements.constEnd())
        return answer(QStringLiteral("631"), QStringLiteral("Rejeição: Duplicidade de evento [nProt:%1][dhRegEvento:%2]")
                                                 .arg(done->first, done->second), key, QString());
    const QString prot = QStringLiteral("1%1%2").arg(key.left(2)).arg(quint64(seedOf(f.id)) % 1000000000000ULL, 12, 10, QLatin1Char('0'));
    m_disagreements.insert(f.id, {prot, dateTime(m_clock())});
    return answer(QStringLiteral("135"), QStringLiteral("Evento registrado e vinculado a CT-e"), key, prot);
}
