#include "app/statemarkdelegate.h"

#include "model/model.h"

#include <QPainter>
#include <QPainterPath>

StateMarkDelegate::StateMarkDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void StateMarkDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
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
