#ifndef STATEMARKDELEGATE_H
#define STATEMARKDELEGATE_H

#include <QStyledItemDelegate>

// Draws a tick over a status cell that is on and a cross over one that is
// off, on top of its green or red: the two states then differ in shape too,
// for everyone who cannot tell the colours apart.
class StateMarkDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit StateMarkDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};

#endif // STATEMARKDELEGATE_H
