#pragma once
// dfe-server's command line: its options and the settings they give.
#include "ServerConfig.h"
#include "authority/AuthorityOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace commandline {

// Defines the options and reads the command line, after the settings of --config FILE
// (the command line wins); ends the program on --help, an unknown option or a settings
// file that cannot be read.
void process(QCommandLineParser &p, const QCoreApplication &app);
// The arguments with the [server] keys of the --config file put before the command
// line's own (a key is an option's long name); empty with `error` set on a bad file.
QStringList withSettingsFile(const QStringList &args, QString &error);
// The server's settings; false, with the reason on standard error, when a value is invalid.
bool serverConfig(const QCommandLineParser &p, ServerConfig &c);
AuthorityOptions authorityOptions(const QCommandLineParser &p);

} // namespace commandline
