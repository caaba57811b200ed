#pragma once
#include "ToolkitApi.h"
#include <QString>
#include <exception>

// An error with a message for the user.
class DFE_TOOLKIT_API Exception : public std::exception {
public:
    explicit Exception(QString message) : Message(std::move(message)), m_utf8(Message.toUtf8()) {}
    const char *what() const noexcept override { return m_utf8.constData(); }
    QString Message;

private:
    QByteArray m_utf8;
};

// The silent abort: ends the running handler; nothing is shown.
class DFE_TOOLKIT_API EAbort : public Exception {
public:
    EAbort() : Exception(QStringLiteral("Operação cancelada")) {}
};

[[noreturn]] DFE_TOOLKIT_API void Abort();
