#include "RowFeed.h"

namespace {
// Enough batches ahead to keep both threads busy; no more, so that a slow caller does not
// make the reader hold the list.
constexpr size_t kAhead = 3;
} // namespace

RowFeed::RowFeed(Fill fill, qsizetype firstRows, qsizetype batchRows) : m_fill(std::move(fill)), m_batchRows(batchRows)
{
    if (!m_fill(m_current, firstRows))
        m_done = true;
    else
        m_reader = std::thread([this] { read(); });
}

RowFeed::~RowFeed()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_reader.joinable())
        m_reader.join();
}

void RowFeed::read()
{
    for (;;) {
        RowBatch batch;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_changed.wait(hold, [this] { return m_stop || m_ready.size() < kAhead; });
            if (m_stop)
                return;
            if (!m_spare.empty()) {
                batch = std::move(m_spare.back());
                m_spare.pop_back();
            }
        }
        batch.clear();
        bool left = false;
        std::exception_ptr failure;
        try {
            left = m_fill(batch, m_batchRows);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (!batch.ends.empty())
                m_ready.push_back(std::move(batch));
            m_failure = failure;
            m_done = !left || failure;
        }
        m_changed.notify_all();
        if (!left || failure)
            return;
    }
}

bool RowFeed::awaitBatch()
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_at > 0) { // the current batch is spent: the reader fills it again
        m_current.clear();
        m_spare.push_back(std::move(m_current));
        m_current = RowBatch();
        m_at = 0;
        m_changed.notify_all();
    }
    m_changed.wait(hold, [this] { return !m_ready.empty() || m_done; });
    if (m_ready.empty()) {
        if (m_failure)
            std::rethrow_exception(m_failure);
        return false;
    }
    m_current = std::move(m_ready.front());
    m_ready.pop_front();
    m_changed.notify_all();
    return true;
}

bool RowFeed::more()
{
    return m_at < m_current.ends.size() || awaitBatch();
}

bool RowFeed::next(const char *&row, qsizetype &len)
{
    if (!more())
        return false;
    const qsizetype from = m_at ? m_current.ends[m_at - 1] : 0;
    row = m_current.bytes.data() + from;
    len = m_current.ends[m_at] - from;
    ++m_at;
    return true;
}
