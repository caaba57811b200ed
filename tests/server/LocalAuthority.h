#pragma once
// The authority as the tests reach it: HTTPS SOAP 1.2 on a loopback port, in its own
// thread, requiring a client certificate from the test CA, answering with the
// simulated authority's XML or failing the way it is told to.
#include "SimulatedAuthority.h"

#include <QMutex>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QThread>
#include <memory>

class LocalAuthorityWorker;

class LocalAuthority {
public:
    enum class Reply { Normal, Cstat137, Cstat656, Cstat215, Http500, SoapFault, Garbage, NotRetDist, Slow, Drop, CorruptDocs };
    struct Call {
        QString contentType;
        QByteArray message; // the distDFeInt inside the envelope
    };

    LocalAuthority(const QString &serverPem, const QString &serverKey, const QString &caPem, SimulatedAuthority &sim);
    ~LocalAuthority();
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("https://127.0.0.1:%1/CTeDistribuicaoDFe/CTeDistribuicaoDFe.asmx").arg(m_port); }

    // The next answers, in order; Normal after them.
    void script(const QList<Reply> &replies);
    QList<Call> calls() const;
    void clearCalls();
    int slowMs = 3000;

private:
    friend class LocalAuthorityWorker;
    Reply nextReply();
    void record(const Call &c);

    SimulatedAuthority &m_sim;
    mutable QMutex m_mutex;
    QList<Reply> m_script;
    QList<Call> m_calls;
    QThread m_thread;
    LocalAuthorityWorker *m_worker = nullptr; // lives in m_thread
    quint16 m_port = 0;
};
