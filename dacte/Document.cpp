#include "Document.h"

#include <QDateTime>
#include <QLocale>
#include <QXmlStreamReader>
#include <memory>
#include <stdexcept>

namespace dacte {

namespace {

// A small tree of the document's elements by local name: namespaces and wrappers vary
// between authorities and versions, the element names do not.
struct Node {
    QString name, text, id;
    std::vector<std::unique_ptr<Node>> kids;

    const Node *child(QStringView n) const
    {
        for (const auto &k : kids)
            if (k->name == n)
                return k.get();
        return nullptr;
    }
    const Node *at(QStringView path) const
    {
        const Node *n = this;
        for (QStringView part : path.split(u'/'))
            if (!(n = n->child(part)))
                return nullptr;
        return n;
    }
    QString value(QStringView path) const
    {
        const Node *n = at(path);
        return n ? n->text.trimmed() : QString();
    }
    std::vector<const Node *> children(QStringView n) const
    {
        std::vector<const Node *> out;
        for (const auto &k : kids)
            if (k->name == n)
                out.push_back(k.get());
        return out;
    }
    // The first element of that name at any depth, nearest the top first.
    const Node *find(QStringView n) const
    {
        std::vector<const Node *> level{this};
        while (!level.empty()) {
            std::vector<const Node *> next;
            for (const Node *e : level) {
                if (e->name == n)
                    return e;
                for (const auto &k : e->kids)
                    next.push_back(k.get());
            }
            level = std::move(next);
        }
        return nullptr;
    }
};

constexpr int kMaxDepth = 64;

std::unique_ptr<Node> parse(const QByteArray &xml)
{
    auto root = std::make_unique<Node>();
    std::vector<Node *> open{root.get()};
    QXmlStreamReader r(xml);
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (open.size() > kMaxDepth)
                throw std::runtime_error("XML aninhado demais.");
            auto n = std::make_unique<Node>();
            n->name = r.name().toString();
            n->id = r.attributes().value(QLatin1String("Id")).toString();
            Node *raw = n.get();
            open.back()->kids.push_back(std::move(n));
            open.push_back(raw);
            break;
        }
        case QXmlStreamReader::EndElement:
            open.pop_back();
            break;
        case QXmlStreamReader::Characters:
            open.back()->text += r.text();
            break;
        default:
            break;
        }
    }
    if (r.hasError() && r.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        throw std::runtime_error(("XML inválido: " + r.errorString()).toStdString());
    return root;
}

QString place(const Node *n, QStringView city, QStringView uf)
{
    const QString c = n ? n->value(city) : QString(), u = n ? n->value(uf) : QString();
    return c.isEmpty() ? u : u.isEmpty() ? c : c + QStringLiteral(" - ") + u;
}

Party party(const Node *n, const QString &role)
{
    Party p;
    p.role = role;
    if (!n)
        return p;
    p.name = n->value(u"xNome");
    p.registration = registration(n->value(u"CNPJ").isEmpty() ? n->value(u"CPF") : n->value(u"CNPJ"));
    p.stateRegistration = n->value(u"IE");
    p.phone = n->value(u"fone");
    for (const auto &k : n->kids) {
        if (!k->name.startsWith(QLatin1String("ender")))
            continue;
        QStringList street{k->value(u"xLgr"), k->value(u"nro"), k->value(u"xCpl")};
        street.removeAll(QString());
        p.street = street.join(QStringLiteral(", "));
        p.district = k->value(u"xBairro");
        p.city = k->value(u"xMun");
        p.uf = k->value(u"UF");
        p.postalCode = k->value(u"CEP");
        p.country = k->value(u"xPais");
        if (p.phone.isEmpty())
            p.phone = k->value(u"fone");
    }
    return p;
}

Kind kindOf(const QString &root)
{
    if (root == QLatin1String("CTeOS"))
        return Kind::CTeOS;
    if (root == QLatin1String("GTVe"))
        return Kind::GTVe;
    if (root == QLatin1String("CTeSimp"))
        return Kind::CTeSimp;
    return Kind::CTe;
}

const Node *documentRoot(const Node &tree)
{
    for (const char *name : {"CTe", "CTeOS", "GTVe", "CTeSimp"})
        if (const Node *n = tree.find(QString::fromLatin1(name)); n && n->child(u"infCte"))
            return n;
    return nullptr;
}

// The taker named by its code among the parties, or given in full.
Party taker(const Node &inf)
{
    const QString role = QStringLiteral("TOMADOR DO SERVIÇO");
    const Node *ide = inf.child(u"ide");
    for (const char *own : {"toma4", "tomaTerceiro"})
        if (const Node *n = ide ? ide->child(QString::fromLatin1(own)) : nullptr)
            return party(n, role);
    if (const Node *n = inf.child(u"toma"); n && n->kids.size() > 1)
        return party(n, role);
    QString code = ide ? ide->value(u"toma3/toma") : QString();
    if (code.isEmpty() && ide)
        code = ide->value(u"toma");
    static const char *const byCode[] = {"rem", "exped", "receb", "dest"};
    const int i = code.toInt();
    if (code.isEmpty() || i < 0 || i > 3)
        return party(nullptr, role);
    // GTV-e numbers its taker 0 for the sender and 1 for the recipient.
    const char *name = inf.child(u"detGTV") && i == 1 ? "dest" : byCode[i];
    return party(inf.child(QString::fromLatin1(name)), role);
}

void readHeader(Document &d, const Node &inf)
{
    const Node *ide = inf.child(u"ide");
    if (!ide)
        throw std::runtime_error("CT-e sem o grupo ide.");
    d.model = ide->value(u"mod");
    d.series = ide->value(u"serie");
    d.number = ide->value(u"nCT");
    d.issuedAt = ide->value(u"dhEmi");
    d.cfop = ide->value(u"CFOP");
    d.nature = ide->value(u"natOp");
    d.environment = ide->value(u"tpAmb");
    d.cteType = ide->value(u"tpCTe");
    d.serviceType = ide->value(u"tpServ");
    d.modal = ide->value(u"modal");
    d.start = place(ide, u"xMunIni", u"UFIni");
    d.end = place(ide, u"xMunFim", u"UFFim");
    if (d.start.isEmpty() || d.end.isEmpty()) { // CT-e Simplificado: per item; GTV-e: origin and destination
        if (const Node *det = inf.child(u"det")) {
            d.start = place(det, u"xMunIni", u"UFIni");
            d.end = place(det, u"xMunFim", u"UFFim");
        }
        if (d.start.isEmpty())
            d.start = place(inf.child(u"origem"), u"xMun", u"UF");
        if (d.end.isEmpty())
            d.end = place(inf.child(u"destino"), u"xMun", u"UF");
    }
}

void readParties(Document &d, const Node &inf)
{
    d.issuer = party(inf.child(u"emit"), QStringLiteral("EMITENTE"));
    const std::pair<const char *, QString> roles[] = {
        {"rem", QStringLiteral("REMETENTE")}, {"exped", QStringLiteral("EXPEDIDOR")},
        {"receb", QStringLiteral("RECEBEDOR")}, {"dest", QStringLiteral("DESTINATÁRIO")}};
    for (const auto &[name, role] : roles)
        if (Party p = party(inf.child(QString::fromLatin1(name)), role); p.present())
            d.parties.push_back(p);
    if (Party t = taker(inf); t.present())
        d.parties.push_back(t);
}

void readValues(Document &d, const Node &inf)
{
    const Node *prest = inf.child(u"vPrest");
    if (prest) {
        d.totalService = prest->value(u"vTPrest");
        d.toReceive = prest->value(u"vRec");
    } else if (const Node *total = inf.child(u"total")) {
        d.totalService = total->value(u"vTPrest");
        d.toReceive = total->value(u"vTRec");
    }
    std::vector<const Node *> comps = prest ? prest->children(u"Comp") : std::vector<const Node *>{};
    for (const Node *det : inf.children(u"det"))
        for (const Node *c : det->children(u"Comp"))
            comps.push_back(c);
    for (const Node *c : comps)
        d.components.push_back({c->value(u"xNome"), c->value(u"vComp")});
    if (const Node *gtv = inf.child(u"detGTV"))
        for (const Node *e : gtv->children(u"infEspecie"))
            d.components.push_back({QStringLiteral("ESPÉCIE %1").arg(e->value(u"tpEspecie")), e->value(u"vEspecie")});
}

void readTaxes(Document &d, const Node &inf)
{
    const Node *imp = inf.child(u"imp");
    if (!imp)
        return;
    if (const Node *icms = imp->child(u"ICMS"); icms && !icms->kids.empty()) {
        const Node *g = icms->kids.front().get();
        d.icmsSituation = g->value(u"CST").isEmpty() ? g->name : g->value(u"CST");
        d.icmsBase = g->value(u"vBC");
        d.icmsRate = g->value(u"pICMS");
        d.icmsValue = g->value(u"vICMS");
    }
    d.totalTaxes = imp->value(u"vTotTrib");
    const Node *ibs = imp->child(u"IBSCBS");
    if (!ibs)
        return;
    // Every leaf of the group, in document order, labelled by its tag.
    std::vector<const Node *> todo{ibs};
    while (!todo.empty()) {
        const Node *n = todo.back();
        todo.pop_back();
        if (n->kids.empty())
            d.ibsCbs.emplace_back(n->name, n->text.trimmed());
        for (auto it = n->kids.rbegin(); it != n->kids.rend(); ++it)
            todo.push_back(it->get());
    }
}

void readCargo(Document &d, const Node &inf)
{
    const Node *norm = inf.child(u"infCTeNorm");
    const Node *cargo = norm ? norm->child(u"infCarga") : inf.child(u"infCarga");
    if (cargo) {
        d.cargoValue = cargo->value(u"vCarga");
        d.mainProduct = cargo->value(u"proPred");
        d.otherFeatures = cargo->value(u"xOutCat");
        for (const Node *q : cargo->children(u"infQ"))
            d.quantities.push_back({q->value(u"tpMed"), q->value(u"qCarga"), q->value(u"cUnid")});
    }
    if (norm)
        if (const Node *serv = norm->child(u"infServico"))
            d.mainProduct = serv->value(u"xDescServ");
    std::vector<const Node *> docs;
    if (const Node *infDoc = norm ? norm->child(u"infDoc") : nullptr)
        for (const auto &k : infDoc->kids)
            docs.push_back(k.get());
    for (const Node *det : inf.children(u"det"))
        for (const Node *n : det->children(u"infNFe"))
            docs.push_back(n);
    for (const Node *n : docs) {
        if (n->name == QLatin1String("infNFe"))
            d.carried << QStringLiteral("NF-e ") + keyInGroups(n->value(u"chave"));
        else if (n->name == QLatin1String("infNF"))
            d.carried << QStringLiteral("NF série %1 nº %2").arg(n->value(u"serie"), n->value(u"nDoc"));
        else
            d.carried << QStringLiteral("%1 %2").arg(n->value(u"descOutros"), n->value(u"nDoc")).trimmed();
    }
}

void readNotes(Document &d, const Node &inf)
{
    QStringList notes;
    if (const Node *compl_ = inf.child(u"compl")) {
        notes << compl_->value(u"xObs");
        for (const Node *o : compl_->children(u"ObsCont"))
            notes << o->value(u"xTexto");
        for (const Node *o : compl_->children(u"ObsFisco"))
            notes << o->value(u"xTexto");
    }
    notes.removeAll(QString());
    d.observations = notes.join(QStringLiteral(" | "));
}

} // namespace

const Party *Document::party(const QString &role) const
{
    for (const Party &p : parties)
        if (p.role == role)
            return &p;
    return nullptr;
}

Document read(const QByteArray &xml)
{
    const std::unique_ptr<Node> tree = parse(xml);
    const Node *doc = documentRoot(*tree);
    if (!doc)
        throw std::runtime_error("O XML não contém um CT-e, CT-e OS, GTV-e ou CT-e Simplificado.");
    const Node &inf = *doc->child(u"infCte");
    Document d;
    d.kind = kindOf(doc->name);
    readHeader(d, inf);
    readParties(d, inf);
    readValues(d, inf);
    readTaxes(d, inf);
    readCargo(d, inf);
    readNotes(d, inf);
    d.key = inf.id.startsWith(QLatin1String("CTe")) ? inf.id.mid(3) : inf.id;
    if (const Node *prot = tree->find(u"infProt")) {
        d.protocol = prot->value(u"nProt");
        d.protocolAt = prot->value(u"dhRecbto");
        d.protocolStatus = prot->value(u"cStat");
        if (d.key.isEmpty())
            d.key = prot->value(u"chCTe");
    }
    if (const Node *supl = doc->child(u"infCTeSupl"))
        d.qrCode = supl->value(u"qrCodCTe");
    return d;
}

QString amount(const QString &xmlNumber, int decimals)
{
    bool ok = false;
    const double v = xmlNumber.toDouble(&ok);
    if (!ok)
        return xmlNumber;
    return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(v, 'f', decimals);
}

QString dateTime(const QString &xmlDateTime)
{
    const QDateTime t = QDateTime::fromString(xmlDateTime, Qt::ISODate);
    if (!t.isValid())
        return xmlDateTime;
    // As the issuer wrote it: its own offset, not the reader's time zone.
    return xmlDateTime.size() >= 19 ? t.toOffsetFromUtc(t.offsetFromUtc()).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"))
                                    : t.toString(QStringLiteral("dd/MM/yyyy"));
}

QString registration(const QString &n)
{
    if (n.size() == 14)
        return QStringLiteral("%1.%2.%3/%4-%5").arg(n.mid(0, 2), n.mid(2, 3), n.mid(5, 3), n.mid(8, 4), n.mid(12, 2));
    if (n.size() == 11)
        return QStringLiteral("%1.%2.%3-%4").arg(n.mid(0, 3), n.mid(3, 3), n.mid(6, 3), n.mid(9, 2));
    return n;
}

QString keyInGroups(const QString &key)
{
    QStringList groups;
    for (qsizetype i = 0; i < key.size(); i += 4)
        groups << key.mid(i, 4);
    return groups.join(u' ');
}

} // namespace dacte
