#pragma once
// A forward cursor over encoded CBOR for the hot path of reading packet rows: it
// hands out item heads and views of text and byte strings without copying, and
// refuses what the protocol refuses (indefinite lengths, reserved encodings,
// truncation, invalid UTF-8).
#include "Cbor.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace wire {

class CborCursor {
public:
    CborCursor(const char *begin, const char *end)
        : m_p(reinterpret_cast<const uint8_t *>(begin)), m_end(reinterpret_cast<const uint8_t *>(end))
    {
    }

    struct Head {
        int major = 0;
        int info = 0;     // additional information (low five bits)
        quint64 value = 0; // argument: length, count or integer
    };

    qsizetype remaining() const { return qsizetype(m_end - m_p); }
    const char *position() const { return reinterpret_cast<const char *>(m_p); }

    [[gnu::always_inline]] Head head()
    {
        need(1);
        Head h;
        const uint8_t b = *m_p++;
        h.major = b >> 5;
        h.info = b & 0x1f;
        if (h.info < 24) {
            h.value = h.info;
        } else if (h.info <= 27) {
            const int n = 1 << (h.info - 24);
            need(n);
            quint64 v = 0;
            for (int i = 0; i < n; ++i)
                v = (v << 8) | m_p[i];
            m_p += n;
            h.value = v;
        } else if (h.info == 31) {
            throw DecodeError("tamanho indefinido não é aceito");
        } else {
            throw DecodeError("codificação CBOR reservada");
        }
        return h;
    }

    // The bytes of a text or byte string whose head was just read.
    [[gnu::always_inline]] const char *take(quint64 len)
    {
        if (len > quint64(remaining()))
            throw DecodeError("dados terminam antes do fim do item");
        const char *at = position();
        m_p += len;
        return at;
    }

    // A float of any width or an integer, from a head already read; false for another kind.
    static bool number(const Head &h, double &out)
    {
        switch (h.major) {
        case 0: out = double(h.value); return true;
        // -1 - n in one rounding: rounding n first and then subtracting rounds twice past 2^53.
        case 1: out = h.value == ~quint64(0) ? -18446744073709551616.0 : -double(h.value + 1); return true;
        case 7:
            if (h.info == 25) {
                out = half(quint16(h.value));
                return true;
            }
            if (h.info == 26) {
                const quint32 bits = quint32(h.value);
                float f;
                std::memcpy(&f, &bits, sizeof f);
                out = f;
                return true;
            }
            if (h.info == 27) {
                std::memcpy(&out, &h.value, sizeof out);
                return true;
            }
            return false;
        default: return false;
        }
    }
    static bool isNull(const Head &h) { return h.major == 7 && (h.info == 22 || h.info == 23); }

    // Steps over one whole item whose head was just read.
    void skip(const Head &h, int depth = 0)
    {
        if (depth > 64)
            throw DecodeError("aninhamento excessivo");
        switch (h.major) {
        case 2:
        case 3: take(h.value); return;
        case 4:
            for (quint64 i = 0; i < h.value; ++i)
                skip(head(), depth + 1);
            return;
        case 5:
            for (quint64 i = 0; i < 2 * h.value; ++i)
                skip(head(), depth + 1);
            return;
        case 6: skip(head(), depth + 1); return;
        default: return;
        }
    }

    static bool validUtf8(const char *s, qsizetype n)
    {
        const auto *p = reinterpret_cast<const uint8_t *>(s);
        const uint8_t *end = p + n;
        while (p < end) {
            // Eight ASCII bytes at a time: the common case.
            if (end - p >= 8) {
                quint64 w;
                std::memcpy(&w, p, 8);
                if ((w & 0x8080808080808080ull) == 0) {
                    p += 8;
                    continue;
                }
            }
            const uint8_t c = *p;
            if (c < 0x80) {
                ++p;
                continue;
            }
            int len;
            uint32_t cp;
            if ((c & 0xe0) == 0xc0) { len = 2; cp = c & 0x1f; }
            else if ((c & 0xf0) == 0xe0) { len = 3; cp = c & 0x0f; }
            else if ((c & 0xf8) == 0xf0) { len = 4; cp = c & 0x07; }
            else return false;
            if (end - p < len)
                return false;
            for (int i = 1; i < len; ++i) {
                if ((p[i] & 0xc0) != 0x80)
                    return false;
                cp = (cp << 6) | (p[i] & 0x3f);
            }
            if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
                (cp >= 0xd800 && cp <= 0xdfff))
                return false;
            p += len;
        }
        return true;
    }

    // Characters (code points) of valid UTF-8.
    static qsizetype utf8Length(const char *s, qsizetype n)
    {
        qsizetype count = 0;
        for (qsizetype i = 0; i < n; ++i)
            count += (static_cast<uint8_t>(s[i]) & 0xc0) != 0x80 ? 1 : 0;
        return count;
    }

private:
    void need(qsizetype n) const
    {
        if (remaining() < n)
            throw DecodeError("dados terminam antes do fim do item");
    }
    static double half(quint16 h)
    {
        const int exp = (h >> 10) & 0x1f, mant = h & 0x3ff;
        double v;
        if (exp == 0)
            v = std::ldexp(mant, -24);
        else if (exp != 31)
            v = std::ldexp(mant + 1024, exp - 25);
        else
            v = mant == 0 ? INFINITY : NAN;
        return (h & 0x8000) ? -v : v;
    }

    const uint8_t *m_p, *m_end;
};

} // namespace wire
