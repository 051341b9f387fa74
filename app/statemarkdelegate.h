#ifndef STATEMARKDELEGATE_H
#define STATEMARKDELEGATE_H

#include <QStyledItemDelegate>

// Draws a tick over a status cell that is on and a cross over one that is
// off, on top of its green or red: the two states then differ in shape too,
// for everyone who cannot tell the colours apart. A muted peer's address
// gets a struck-out speaker before it, a shape rather than a colour too.
class StateMarkDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit StateMarkDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;

private:
    void paintMuted(QPainter *painter, const QStyleOptionViewItem &option,
                    const QModelIndex &index) const;
};

#endif // STATEMARKDELEGATE_H
