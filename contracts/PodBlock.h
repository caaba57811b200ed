#pragma once
// A growable block of plain values (a dataset's text bytes and cells). A large block is
// mapped apart from the heap, in huge pages where the kernel gives them on request, and
// grows by remapping its pages: a long list arriving in parts neither copies nor faults
// in again what it already holds, whatever the allocator's thresholds have become.
#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <type_traits>
#include <utility>

template <class T>
class PodBlock {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PodBlock() = default;
    PodBlock(PodBlock &&o) noexcept { swap(o); }
    PodBlock &operator=(PodBlock &&o) noexcept
    {
        PodBlock t(std::move(o));
        swap(t);
        return *this;
    }
    ~PodBlock() { release(); }

    T *data() { return m_data; }
    const T *data() const { return m_data; }
    qsizetype size() const { return m_size; }
    T *begin() { return m_data; }
    T *end() { return m_data + m_size; }
    T &operator[](size_t i) { return m_data[i]; }
    const T &operator[](size_t i) const { return m_data[i]; }

    // Room for `n` values in all; grown by half at least.
    void reserve(qsizetype n)
    {
        if (n <= m_capacity)
            return;
        const qsizetype room = m_capacity == 0 ? n : std::max(n, m_capacity + m_capacity / 2);
        if (size_t(room) * sizeof(T) >= kMapFrom)
            grow(pageRound(size_t(room) * sizeof(T)));
        else
            place(std::realloc(static_cast<void *>(m_data), size_t(room) * sizeof(T)), room);
    }
    void resize(qsizetype n) // values past the old end are left unset
    {
        reserve(n);
        m_size = n;
    }
    void resize(qsizetype n, T fill)
    {
        const qsizetype old = m_size;
        resize(n);
        if (n > old)
            std::fill(m_data + old, m_data + n, fill);
    }
    void erase(qsizetype from, qsizetype to)
    {
        if (from == to) // an empty block has no storage to move within
            return;
        std::memmove(static_cast<void *>(m_data + from), m_data + to, size_t(m_size - to) * sizeof(T));
        m_size -= to - from;
    }
    void shrink() // gives back what is not used
    {
        if (m_size == m_capacity)
            return;
        if (m_size == 0) {
            release();
            m_data = nullptr;
            m_capacity = 0;
        } else if (!mapped()) {
            if (void *p = std::realloc(static_cast<void *>(m_data), size_t(m_size) * sizeof(T)))
                place(p, m_size);
        } else if (const size_t keep = pageRound(size_t(m_size) * sizeof(T)); keep >= kMapFrom && keep < bytes()) {
            if (mremap(m_data, bytes(), keep, 0) != MAP_FAILED) // in place: pages past `keep` go back
                m_capacity = qsizetype(keep / sizeof(T));
        }
    }
    void swap(PodBlock &o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }

private:
    static constexpr size_t kMapFrom = size_t(1) << 20; // bytes from which a block is mapped
    static size_t pageRound(size_t b) { return (b + 4095) & ~size_t(4095); }
    size_t bytes() const { return size_t(m_capacity) * sizeof(T); }
    bool mapped() const { return bytes() >= kMapFrom; }
    void place(void *p, qsizetype capacity)
    {
        if (!p)
            throw std::bad_alloc();
        m_data = static_cast<T *>(p);
        m_capacity = capacity;
    }
    void grow(size_t to)
    {
        void *p = MAP_FAILED;
        if (mapped()) {
            p = mremap(m_data, bytes(), to, MREMAP_MAYMOVE);
        } else {
            p = mmap(nullptr, to, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p != MAP_FAILED && m_size)
                std::memcpy(p, m_data, size_t(m_size) * sizeof(T));
            if (p != MAP_FAILED)
                std::free(m_data);
        }
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        // The whole mapping: advice on part of it would split it, and a split one cannot be remapped.
        madvise(p, to, MADV_HUGEPAGE);
        place(p, qsizetype(to / sizeof(T)));
    }
    void release()
    {
        if (mapped())
            munmap(m_data, bytes());
        else
            std::free(m_data);
    }

    T *m_data = nullptr;
    qsizetype m_size = 0, m_capacity = 0;
};
