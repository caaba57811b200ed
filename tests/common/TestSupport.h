#pragma once
// Shared test helpers: scripted dialogs, modal-dialog driving, a scripted
// application server on loopback and a host database in a temporary folder.
#include "Dialogs.h"
#include "Frame.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <optional>

class ScriptedDialogs : public IDialogs {
public:
    QStringList errors, infos, confirms, lookups, previews, helps;
    QString helpText;
    int lookupChoice = 0;                          // row chosen in the next lookups (-1: cancel)
    std::function<int(TClientDataSet &)> onLookup; // takes precedence when set
    std::optional<QString> folder;                 // answer of the folder chooser
    bool confirmAnswer = true;
    std::function<void()> onInformation;

    void Error(QWidget *, const QString &text) override { errors << text; }
    void Information(QWidget *, const QString &text) override
    {
        infos << text;
        if (onInformation)
            onInformation();
    }
    bool Confirm(QWidget *, const QString &text) override
    {
        confirms << text;
        return confirmAnswer;
    }
    std::optional<QString> ChooseFolder(QWidget *) override { return folder; }
    int Lookup(QWidget *, const QString &title, TClientDataSet &list) override
    {
        lookups << title;
        return onLookup ? onLookup(list) : lookupChoice;
    }
    std::optional<QString> saveFile; // answer of the file chooser
    QStringList saveTitles;
    std::optional<QString> ChooseSaveFile(QWidget *, const QString &title, const QString &, const QString &) override
    {
        saveTitles << title;
        return saveFile;
    }
    // Each preview also printed into a PDF, as the user's "save as PDF" would.
    std::vector<QByteArray> previewPdfs;
    void PrintPreview(QWidget *, const QString &title, QPageLayout::Orientation orientation,
                      const std::function<void(QPrinter &)> &paint) override;
    void Help(QWidget *, const QString &title, const QString &html) override
    {
        helps << title;
        helpText = html;
    }
    void clear()
    {
        previews.clear();
        helps.clear();
        errors.clear();
        infos.clear();
        confirms.clear();
        lookups.clear();
    }
};

// Installs the scripted dialogs for the life of the object.
struct DialogsScope {
    ScriptedDialogs d;
    DialogsScope() { SetDialogs(&d); }
    ~DialogsScope() { SetDialogs(nullptr); }
};

// Runs `action` on the next modal dialog once it is shown (waits up to 5 s).
void whenModal(std::function<void(QWidget *)> action);
// Drops the scripts of dialogs that never showed.
void cancelPendingModal();
// Processes events until `cond` holds or `ms` pass.
bool waitFor(const std::function<bool()> &cond, int ms = 5000);
// Gives the focus to `w` as a user would and lets the focus handlers run.
void focusTo(QWidget *w);

// An application server on loopback whose replies a test scripts.
class FakeServer : public QObject {
public:
    FakeServer();
    quint16 port() const { return m_server.serverPort(); }
    std::function<wire::Reply(const wire::Request &)> handler;
    // Takes precedence over `handler`: the encoded payloads to send, one frame each,
    // for replies no sound server would send.
    std::function<QList<QByteArray>(const wire::Request &)> raw;
    // Takes precedence over both: bytes sent as they are (frames made by the test, or
    // pieces of them), one piece every `pieceDelayMs`; then, with `dropAfterPieces`, the
    // connection is closed.
    std::function<QList<QByteArray>(const wire::Request &)> pieces;
    int pieceDelayMs = 0;
    bool dropAfterPieces = false;
    QList<wire::Request> requests;
    // The state method is answered apart, as an older server does ("método desconhecido")
    // unless `state` is set; its calls are kept apart from `requests`.
    std::function<wire::Reply(const wire::Request &)> state;
    QList<wire::Request> stateCalls;
    int connections = 0;
    QList<wire::Request> callsOf(const QString &method) const;
    // Sends a frame no request asked for, on every open connection.
    void push(const QByteArray &payload);
    // Drops every open connection.
    void drop();

private:
    wire::Reply stateReply(const wire::Request &req) const;
    void sendPieces(QPointer<QTcpSocket> socket, QList<QByteArray> rest);
    QTcpServer m_server;
    struct Peer {
        QPointer<QTcpSocket> socket;
        wire::FrameReader reader;
    };
    std::vector<std::unique_ptr<Peer>> m_peers;
};

// Starts `program` (a dfe-server) with `args` and returns the loopback port its first
// line reports, or 0 with what it printed in `output`.
quint16 startServerProcess(QProcess &server, const QString &program, const QStringList &args, int ms, QString &output);

wire::Reply okReply(const QVariant &result, const QVariantList &args);

// A SQLite host database in a temporary folder with the demo companies, set as the
// toolkit's general connection.
class TempHostDb {
public:
    TempHostDb();
    ~TempHostDb();
    void exec(const QString &sql);
    QTemporaryDir dir;

private:
    QString m_name;
};
