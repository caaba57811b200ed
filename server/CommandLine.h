#pragma once
// dfe-server's command line: its options and the settings they give.
#include "ServerConfig.h"
#include "authority/AuthorityOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace commandline {

// Defines the options and reads the command line; ends the program on --help or an
// unknown option.
void process(QCommandLineParser &p, const QCoreApplication &app);
// The server's settings; false, with the reason on standard error, when a value is invalid.
bool serverConfig(const QCommandLineParser &p, ServerConfig &c);
AuthorityOptions authorityOptions(const QCommandLineParser &p);

} // namespace commandline
