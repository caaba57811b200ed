#pragma once
// What the auxiliary document (DACTE) shows, read from a stored CT-e: any of the four kinds
// the authority distributes, wrapped with its protocol or not, in any namespace.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

namespace dacte {

enum class Kind { CTe, CTeOS, GTVe, CTeSimp };

struct Party {
    QString role;         // "REMETENTE", "TOMADOR DO SERVIÇO", ...
    QString name, registration, stateRegistration, phone;
    QString street, district, city, uf, postalCode, country;
    bool present() const { return !name.isEmpty() || !registration.isEmpty(); }
};

struct Component {
    QString name, value;
};

struct Quantity {
    QString measure, amount, unit;
};

struct Document {
    Kind kind = Kind::CTe;
    QString model, series, number, issuedAt, cfop, nature, environment, cteType, serviceType, modal;
    QString start, end; // "CIDADE - UF"
    QString key, protocol, protocolAt, protocolStatus;
    Party issuer;
    std::vector<Party> parties; // sender, dispatcher, receiver, recipient, taker: those present
    QString totalService, toReceive;
    std::vector<Component> components;
    QString icmsSituation, icmsBase, icmsRate, icmsValue, totalTaxes;
    std::vector<std::pair<QString, QString>> ibsCbs; // the tax-reform group: label, value
    QString cargoValue, mainProduct, otherFeatures;
    std::vector<Quantity> quantities;
    QStringList carried; // the documents carried, one line each
    QString observations, qrCode;

    bool homologation() const { return environment == QLatin1String("2"); }
    const Party *party(const QString &role) const;
};

// Raises std::runtime_error (message in Portuguese) for bytes that hold no CT-e of a known kind.
Document read(const QByteArray &xml);

// Display forms: "1.234,56", "dd/MM/yyyy HH:mm:ss", CNPJ and CPF punctuated, the key in groups of four.
QString amount(const QString &xmlNumber, int decimals = 2);
QString dateTime(const QString &xmlDateTime);
QString registration(const QString &digits);
QString keyInGroups(const QString &key);

} // namespace dacte
