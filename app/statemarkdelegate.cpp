#include "app/statemarkdelegate.h"

#include "model/model.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

StateMarkDelegate::StateMarkDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void StateMarkDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    if (index.data(ClientList::MutedRole).toBool())
        paintMuted(painter, option, index);
    const QVariant state = index.data(ClientList::StateRole);
    if (!state.isValid())
        return;

    // A square in the middle of the cell, half its height.
    const int side = qMin(option.rect.width(), option.rect.height()) / 2;
    if (side < 4)
        return;
    const QRectF box(QPointF(0, 0), QSizeF(side, side));
    const QRectF mark = box.translated(QRectF(option.rect).center() - box.center());
    auto at = [&mark](qreal x, qreal y) {
        return QPointF(mark.left() + x * mark.width(), mark.top() + y * mark.height());
    };
    QPainterPath path;
    if (state.toBool()) {
        path.moveTo(at(0.1, 0.55));
        path.lineTo(at(0.4, 0.85));
        path.lineTo(at(0.9, 0.15));
    } else {
        path.moveTo(at(0.15, 0.15));
        path.lineTo(at(0.85, 0.85));
        path.moveTo(at(0.85, 0.15));
        path.lineTo(at(0.15, 0.85));
    }

    // Black stands out on both the pure green and the pure red; a selected
    // cell is painted in the highlight colour, so take its text colour there.
    const QColor ink = option.state & QStyle::State_Selected
                           ? option.palette.color(QPalette::HighlightedText)
                           : QColor(Qt::black);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(ink, qMax(2.0, side / 6.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->setBrush(Qt::NoBrush);
    painter->drawPath(path);
    painter->restore();
}

void StateMarkDelegate::initStyleOption(QStyleOptionViewItem *option,
                                        const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (!index.data(ClientList::MutedRole).toBool())
        return;
    // Room for the glyph before the address, laid out by the style: a long
    // address is elided rather than covered, in the middle, since its end is
    // what tells peers on one network apart. Narrow, so that most addresses
    // that fit the cell unmuted still fit it muted.
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->textElideMode = Qt::ElideMiddle;
    const int height = qMax(8, option->fontMetrics.height() * 3 / 4);
    option->decorationSize = QSize(height * 2 / 3, height);
}

void StateMarkDelegate::paintMuted(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    QStyleOptionViewItem laidOut = option;
    initStyleOption(&laidOut, index);
    const QWidget *widget = laidOut.widget;
    const QStyle *style = widget ? widget->style() : QApplication::style();
    const QRectF mark = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &laidOut, widget);
    if (mark.width() < 4 || mark.height() < 6)
        return;
    auto at = [&mark](qreal x, qreal y) {
        return QPointF(mark.left() + x * mark.width(), mark.top() + y * mark.height());
    };
    QPainterPath speaker;
    speaker.moveTo(at(0.0, 0.32));
    speaker.lineTo(at(0.4, 0.32));
    speaker.lineTo(at(1.0, 0.0));
    speaker.lineTo(at(1.0, 1.0));
    speaker.lineTo(at(0.4, 0.68));
    speaker.lineTo(at(0.0, 0.68));
    speaker.closeSubpath();
    const QLineF stroke(at(-0.1, 0.05), at(1.1, 0.95));

    const bool selected = laidOut.state & QStyle::State_Selected;
    // The address cell has no fill of its own: ink as its text has it.
    const QColor ink = laidOut.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor ground = laidOut.palette.color(selected ? QPalette::Highlight : QPalette::Base);
    const qreal line = qMax(1.5, mark.height() / 8.0);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(ink);
    painter->drawPath(speaker);
    // A gap either side of the stroke, or it would vanish into the speaker.
    painter->setPen(QPen(ground, line * 3, Qt::SolidLine, Qt::FlatCap));
    painter->drawLine(stroke);
    painter->setPen(QPen(ink, line, Qt::SolidLine, Qt::RoundCap));
    painter->drawLine(stroke);
    painter->restore();
}
