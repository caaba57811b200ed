#pragma once
// A growable block of plain values (a dataset's text bytes and cells) kept with realloc:
// a large block grows by remapping its pages rather than by copying them, so a long
// list arriving in parts does not copy, nor touch again, what it already holds.
#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
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
    ~PodBlock() { std::free(m_data); }

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
        auto *p = static_cast<T *>(std::realloc(static_cast<void *>(m_data), size_t(room) * sizeof(T)));
        if (!p)
            throw std::bad_alloc();
        m_data = p;
        m_capacity = room;
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
        std::memmove(static_cast<void *>(m_data + from), m_data + to, size_t(m_size - to) * sizeof(T));
        m_size -= to - from;
    }
    void shrink() // gives back what is not used; a large block shrinks in place
    {
        if (m_size == m_capacity)
            return;
        if (m_size == 0) {
            std::free(m_data);
            m_data = nullptr;
            m_capacity = 0;
            return;
        }
        if (auto *p = static_cast<T *>(std::realloc(static_cast<void *>(m_data), size_t(m_size) * sizeof(T)))) {
            m_data = p;
            m_capacity = m_size;
        }
    }
    void swap(PodBlock &o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }

private:
    T *m_data = nullptr;
    qsizetype m_size = 0, m_capacity = 0;
};
