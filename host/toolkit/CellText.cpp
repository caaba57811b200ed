#include "CellText.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

bool CellText::handles(const QStyleOptionViewItem &o)
{
    using F = QStyleOptionViewItem;
    return !(o.features & (F::HasCheckIndicator | F::HasDecoration | F::WrapText)) && !(o.state & QStyle::State_Editing)
           && !o.text.contains(QLatin1Char('\n'));
}

const CellText::Laid &CellText::laid(const QStyleOptionViewItem &o, const QString &text, int width)
{
    if (!(o.font == m_font) || m_laid.size() >= kKept) {
        m_laid.clear();
        m_font = o.font;
    }
    const Key key{text, width, o.textElideMode};
    auto it = m_laid.find(key);
    if (it != m_laid.end())
        return *it;
    const QFontMetrics fm(o.font);
    const QString shown = fm.horizontalAdvance(text) > width ? fm.elidedText(text, o.textElideMode, width) : text;
    Laid l;
    l.text.setTextFormat(Qt::PlainText);
    l.text.setText(shown);
    l.text.prepare(QTransform(), o.font);
    l.width = l.text.size().width();
    l.height = qRound(QFontMetricsF(o.font).height()); // rounded as the style rounds a line's
    return *m_laid.insert(key, std::move(l));
}

void CellText::draw(QPainter *p, const QStyleOptionViewItem &o, const QString &text)
{
    const QWidget *w = o.widget;
    const QStyle *style = w ? w->style() : QApplication::style();
    // A plain text cell's text takes the whole cell but the style's margins.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w) + 1;
    const QRect area = o.rect.adjusted(margin, 0, -margin, 0);
    const Laid &l = laid(o, text, area.width());
    QPalette::ColorGroup cg = (o.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    if (cg == QPalette::Normal && !(o.state & QStyle::State_Active))
        cg = QPalette::Inactive;
    // Across, the text sits where a line of the area's width puts it (at a fraction of a
    // pixel); down, where the style puts a line of its rounded height.
    const Qt::Alignment align = QStyle::visualAlignment(o.direction, o.displayAlignment);
    qreal x = area.left();
    if (align & Qt::AlignRight)
        x += area.width() - l.width;
    else if (align & Qt::AlignHCenter)
        x += (area.width() - l.width) / 2;
    const int y = QStyle::alignedRect(o.direction, align & Qt::AlignVertical_Mask, QSize(area.width(), l.height), area).top();
    p->save();
    p->setPen(o.palette.color(cg, (o.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text));
    p->setFont(o.font);
    p->setClipRect(o.rect, Qt::IntersectClip); // the cell, as the style clips; a glyph may reach into the margin
    p->drawStaticText(QPointF(x, y), l.text);
    p->restore();
}

void CellText::drawFocus(QPainter *p, const QStyleOptionViewItem &o, const QStyle *style)
{
    QStyleOptionFocusRect f;
    f.QStyleOption::operator=(o);
    f.rect = style->subElementRect(QStyle::SE_ItemViewItemFocusRect, &o, o.widget);
    f.state |= QStyle::State_KeyboardFocusChange | QStyle::State_Item;
    const QPalette::ColorGroup cg = (o.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    f.backgroundColor = o.palette.color(cg, (o.state & QStyle::State_Selected) ? QPalette::Highlight : QPalette::Window);
    style->drawPrimitive(QStyle::PE_FrameFocusRect, &f, p, o.widget);
}
