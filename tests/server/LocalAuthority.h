#pragma once
// The authority as the tests reach it: HTTPS SOAP 1.2 on a loopback port, in its own
// thread, requiring a client certificate from the test CA, answering with the
// simulated authority's XML or failing the way it is told to. Events (any path with
// CTeRecepcaoEventoV4) are checked as an authorizer checks them before the simulation
// decides: the signature with the client's certificate (297), the Id and xObs (225).
#include "authority/simulated/SimulatedAuthority.h"

#include <QMutex>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QThread>
#include <memory>

class LocalAuthorityWorker;

class LocalAuthority {
public:
    enum class Reply { Normal, Cstat137, Cstat656, Cstat215, Http500, SoapFault, Garbage, NotRetDist, Slow, Drop, CorruptDocs,
                       TamperEvent, // one byte of xObs changed on the way in
                       AcceptEvent, // 135 once the checks pass, whatever the simulation knows
                       Event134,
                       Soap11,      // the answer in a SOAP 1.1 envelope
                       Soap11Fault, // HTTP 500 with a SOAP 1.1 fault
                       Truncated,   // the answer's first half only
                       NoCstat };   // the fiscal answer without its cStat
    struct Call {
        QString contentType, path;
        QByteArray message; // the distDFeInt or eventoCTe inside the envelope
        QByteArray answer;  // the retEventoCTe inside the answer's envelope
        QByteArray body;    // the request as posted, envelope and all
    };

    LocalAuthority(const QString &serverPem, const QString &serverKey, const QString &caPem, SimulatedAuthority &sim);
    ~LocalAuthority();
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("https://127.0.0.1:%1/CTeDistribuicaoDFe/CTeDistribuicaoDFe.asmx").arg(m_port); }
    // An authorizer's event address in one environment: both name the path.
    QString eventUrl(const QString &authorizer, const QString &environment) const
    {
        return QStringLiteral("https://127.0.0.1:%1/%2/%3/CTeRecepcaoEventoV4.asmx").arg(m_port).arg(authorizer, environment);
    }

    // The next answers, in order; Normal after them.
    void script(const QList<Reply> &replies);
    QList<Call> calls() const;
    void clearCalls();
    int slowMs = 3000;

private:
    friend class LocalAuthorityWorker;
    Reply nextReply();
    void record(const Call &c);
    void recordAnswer(const QByteArray &answer);

    SimulatedAuthority &m_sim;
    mutable QMutex m_mutex;
    QList<Reply> m_script;
    QList<Call> m_calls;
    QThread m_thread;
    LocalAuthorityWorker *m_worker = nullptr; // lives in m_thread
    quint16 m_port = 0;
};
