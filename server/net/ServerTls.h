#pragma once
// The server's side of TLS: its certificate and key, the CA of client certificates,
// and the rule that plain text is for loopback only.
#include "NetConfig.h"

#include <QSslConfiguration>
#include <optional>

// Checks the security options before anything binds. `tls` is set when the server
// serves TLS; false with `error` for a missing or unreadable file, a key that is not
// the certificate's, or plain text on a network address without --insecure-plaintext.
bool serverSecurity(const NetConfig &config, std::optional<QSslConfiguration> &tls, QString &error);
// Whether a client must authenticate before its first call.
bool authenticationRequired(const NetConfig &config);
