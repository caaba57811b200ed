#pragma once
// Keeps one document the distribution service delivered: an authorised CT-e of any kind
// (cteProc, cteOSProc, GTVeProc, cteSimpProc) becomes a CT-e row, a procEventoCTe an
// event row, and the CT-e's status follows its events; anything that cannot be read is
// kept raw with the reason, so its NSU is never asked for again.
#include "store/Store.h"

#include <QString>

namespace intake {

struct SyncDay {
    QString shown, iso; // dd/MM/yyyy and yyyy-MM-dd
};

// Inside the caller's transaction. Throws StoreError only.
void storeDocument(Store &store, const QString &registration, const QString &nsu, const QString &schema,
                   const QByteArray &zipped, const SyncDay &day);

// CDSTATUS and DSSTATUS of a stored CT-e from every event kept for it, whoever registered
// them and in whatever order they came: a cancellation (110111) ends it; a disagreement
// (610110) not undone by its own cancellation (610111) marks it "000"; else "100".
void refreshStatus(Store &store, const QString &registration, const QString &key);

// Marks NSUs the authority has no document for (one statement for many marks).
class EmptyMarks {
public:
    EmptyMarks(Store &store, const QString &registration, const SyncDay &day);
    void mark(const QString &nsu);

private:
    Statement m_st;
    const QString &m_registration;
    const SyncDay &m_day;
};

} // namespace intake
