#pragma once
// The one reader of data packets (see Packet.h), for every receiver: the client's
// dataset, the server reading the list it is sent, and decodePacket. It walks the
// encoded bytes in place and hands out each cell as a view into them, after the
// checks every reader must make: definite lengths, the table ending exactly where the
// packet ends, each value of its field's type (or null), text valid UTF-8 and no
// longer, in characters, than its field's size.
#include "CborCursor.h"
#include "DataPacket.h"

#include <string>
#include <vector>

namespace wire {

class PacketReader {
public:
    struct Cell {
        enum Kind : quint8 { Null, Text, Float, Blob };
        Kind kind = Null;
        const char *data = nullptr; // text (UTF-8) or blob bytes, inside the packet
        qsizetype size = 0;
        double number = 0.0;
        bool repeated = false; // sent as the mark for the value above: the same as the row before
    };

    // Reads the packet's head and field model; throws DecodeError. `p` must outlive the reader.
    explicit PacketReader(const TDataPacket &p);

    const std::vector<PacketField> &fields() const { return m_fields; }
    int indexOf(const QString &name) const; // by name, case ignored; -1 when absent
    quint64 rowCount() const { return m_rowCount; }
    // The encoded table's size: no text of the packet is longer.
    qsizetype tableSize() const { return m_tableSize; }
    // A text limit tighter than the field's own size, in characters (0: the field's).
    void limitText(size_t column, int chars);

    // Moves to the next row; false after the last, once the table is known to end there.
    bool nextRow()
    {
        if (m_col != m_fields.size())
            throw DecodeError(where(m_col) + ": valores não lidos");
        if (m_row == m_rowCount) {
            if (m_cur.remaining() != 0)
                throw DecodeError("bytes a mais depois da tabela");
            return false;
        }
        ++m_row;
        const CborCursor::Head h = m_cur.head();
        if (h.major != 4 || h.value != m_fields.size())
            throw DecodeError("linha " + std::to_string(m_row) + " com número de valores errado");
        m_col = 0;
        return true;
    }

    // The next value of the current row, valid until the next row's value of its column.
    // Written in place and read field by field: a Cell built apart and copied whole is read
    // back with wide loads over narrow stores, which stall on store forwarding.
    [[gnu::always_inline]] const Cell &cell()
    {
        if (m_col >= m_fields.size())
            throw DecodeError("linha " + std::to_string(m_row) + ": valores demais");
        const size_t c = m_col++;
        const CborCursor::Head h = m_cur.head();
        Cell &out = m_above[c];
        if (h.major == 7 && h.info == kSimpleRepeat) [[unlikely]] {
            if (m_row < 2)
                throw DecodeError("marca de repetição sem linha anterior no " + where(c));
            out.repeated = true;
            return out;
        }
        value(out, c, h);
        return out;
    }

    // 1-based number of the current row.
    quint64 row() const { return m_row; }

private:
    [[gnu::always_inline]] void value(Cell &out, size_t c, const CborCursor::Head &h)
    {
        out.kind = Cell::Null;
        out.data = nullptr;
        out.size = 0;
        out.repeated = false;
        if (CborCursor::isNull(h))
            return;
        switch (m_fields[c].type) {
        case PacketType::Text:
        case PacketType::FixedText: {
            if (h.major != 3)
                throw DecodeError("valor de tipo errado no " + where(c) + ": esperado texto");
            out.kind = Cell::Text;
            out.size = qsizetype(h.value);
            out.data = m_cur.take(h.value);
            if (!asciiOnly(out.data, out.size) && !CborCursor::validUtf8(out.data, out.size))
                throw DecodeError("texto com UTF-8 inválido no " + where(c));
            const int limit = m_limits[c];
            if (limit > 0 && out.size > limit) {
                const qsizetype chars = CborCursor::utf8Length(out.data, out.size);
                if (chars > limit)
                    throw DecodeError("o " + where(c) + " tem " + std::to_string(chars) + " caracteres; o máximo é " +
                                      std::to_string(limit));
            }
            return;
        }
        case PacketType::Float:
            if (!CborCursor::number(h, out.number))
                throw DecodeError("valor de tipo errado no " + where(c) + ": esperado número");
            out.kind = Cell::Float;
            return;
        case PacketType::Blob:
            if (h.major != 2)
                throw DecodeError("valor de tipo errado no " + where(c) + ": esperado binário");
            out.kind = Cell::Blob;
            out.size = qsizetype(h.value);
            out.data = m_cur.take(h.value);
            return;
        }
    }

public:
    // Whether `n` bytes are plain ASCII, a word at a time: most cells are.
    [[gnu::always_inline]] static bool asciiOnly(const char *s, qsizetype n)
    {
        quint64 acc = 0;
        if (n >= 8) {
            qsizetype i = 0;
            for (; i + 8 <= n; i += 8) {
                quint64 w;
                std::memcpy(&w, s + i, 8);
                acc |= w;
            }
            quint64 last; // the tail, read overlapping the words before it
            std::memcpy(&last, s + n - 8, 8);
            acc |= last;
        } else {
            for (qsizetype i = 0; i < n; ++i)
                acc |= quint8(s[i]);
        }
        return (acc & 0x8080808080808080ull) == 0;
    }

private:
    std::string where(size_t column) const;

    CborCursor m_cur;
    std::vector<PacketField> m_fields;
    std::vector<int> m_limits;
    std::vector<Cell> m_above; // the row above's values, for a repeat mark
    quint64 m_rowCount = 0, m_row = 0;
    size_t m_col = 0;
    qsizetype m_tableSize = 0;
};

} // namespace wire
