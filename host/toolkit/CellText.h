#pragma once
// A grid cell's text drawn as the style draws it (margins, alignment, elision, colours),
// from a layout kept per text and width: laying the same few texts out again at every
// paint took most of a paint.
#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QStyleOptionViewItem>

class QPainter;
class QStyle;

class CellText {
public:
    // False when the cell is not plain text (a check box, an icon, wrapped text): the style
    // draws it whole.
    static bool handles(const QStyleOptionViewItem &o);
    // Draws `text` in the cell `o` describes, whose text the style has drawn nothing of.
    void draw(QPainter *p, const QStyleOptionViewItem &o, const QString &text);
    // The current cell's focus frame, over its text.
    static void drawFocus(QPainter *p, const QStyleOptionViewItem &o, const QStyle *style);

private:
    struct Key {
        QString text;
        int width;
        Qt::TextElideMode elide;
        bool operator==(const Key &k) const { return width == k.width && elide == k.elide && text == k.text; }
        friend size_t qHash(const Key &k, size_t seed = 0) { return qHashMulti(seed, k.text, k.width, int(k.elide)); }
    };
    struct Laid {
        QStaticText text;
        qreal width;
        int height;
    };
    const Laid &laid(const QStyleOptionViewItem &o, const QString &text, int width);

    static constexpr qsizetype kKept = 4096; // a few screens' worth of distinct cells
    QFont m_font;
    QHash<Key, Laid> m_laid;
};
