#pragma once
// Keeps one document the distribution service delivered: a procCTe becomes a CT-e row,
// a procEventoCTe an event row (a cancellation also marks its CT-e); anything that
// cannot be read is kept raw with the reason, so its NSU is never asked for again.
#include "store/Store.h"

#include <QString>

namespace intake {

struct SyncDay {
    QString shown, iso; // dd/MM/yyyy and yyyy-MM-dd
};

// Inside the caller's transaction. Throws StoreError only.
void storeDocument(Store &store, const QString &registration, const QString &nsu, const QString &schema,
                   const QByteArray &zipped, const SyncDay &day);

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
