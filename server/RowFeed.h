#pragma once
// A long list's rows read ahead on a thread of their own: while the caller marks and
// frames one batch, the store's walk fills the next (each is about half of a long list's
// time). The first batch is read on the caller's thread, so a short list starts no thread.
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct RowBatch {
    std::vector<char> bytes; // the rows' encodings end to end
    std::vector<qsizetype> ends; // where each row ends in `bytes`
    void clear()
    {
        bytes.clear();
        ends.clear();
    }
    void add(const char *p, qsizetype n)
    {
        bytes.insert(bytes.end(), p, p + n);
        ends.push_back(qsizetype(bytes.size()));
    }
};

class RowFeed {
public:
    // Adds rows to the batch, up to its size; returns whether rows are left. Called on one
    // thread at a time, never after it returned false or threw.
    using Fill = std::function<bool(RowBatch &, qsizetype rows)>;
    RowFeed(Fill fill, qsizetype firstRows, qsizetype batchRows);
    ~RowFeed(); // stops the reader at its next batch and waits for it
    RowFeed(const RowFeed &) = delete;
    RowFeed &operator=(const RowFeed &) = delete;

    // The next row, valid until the next call; false at the end. Rethrows the reader's failure
    // where its rows end.
    bool next(const char *&row, qsizetype &len);
    // Whether a row is left (waits for the reader to know).
    bool more();

private:
    void read();
    bool awaitBatch(); // under no lock; false at the end

    Fill m_fill;
    const qsizetype m_batchRows;
    RowBatch m_current;
    size_t m_at = 0;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<RowBatch> m_ready;
    std::vector<RowBatch> m_spare;
    bool m_done = false, m_stop = false;
    std::exception_ptr m_failure;
    std::thread m_reader;
};
