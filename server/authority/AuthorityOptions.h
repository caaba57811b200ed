#pragma once
// The tax-authority source the server's options describe.
#include "Authority.h"

#include <QString>
#include <memory>

struct AuthorityOptions {
    QString source = QStringLiteral("simulated"); // simulated | sefaz
    QString certificate, passwordFile, caFile, endpoints, environment = QStringLiteral("homologacao");
    QString signer; // simulated only: the PKCS#12 the simulation signs its CT-e with
    double connectTimeoutSeconds = 15, answerTimeoutSeconds = 60;
    static constexpr char kPasswordVariable[] = "DFE_CERTIFICATE_PASSWORD";
};

// Throws std::runtime_error with a message for the operator (never the password).
std::shared_ptr<AuthoritySource> makeAuthority(const AuthorityOptions &o);
