#ifndef PEERVIEW_H
#define PEERVIEW_H

#include <QAbstractItemModel>
#include <QBrush>
#include <QColor>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSet>
#include <QString>
#include <QTableView>
#include <QWidget>

// What a person sees of the window: its widgets by name and the row of this
// host in the peer view.

template <typename T>
T *widget(const QWidget *window, const char *name)
{
    const QList<T *> found = window->findChildren<T *>(QLatin1String(name));
    return found.size() == 1 ? found.first() : nullptr;
}

// This host's IPv4 addresses as the receiver writes them: the own row's key.
inline QSet<QString> ownAddresses()
{
    QSet<QString> addresses;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            addresses.insert(address.toString());
    }
    return addresses;
}

// The first row whose address is one of these; -1 when there is none.
inline int rowOf(const QAbstractItemModel *model, const QSet<QString> &addresses)
{
    for (int row = 0; row < model->rowCount(); ++row) {
        if (addresses.contains(model->index(row, 0).data(Qt::DisplayRole).toString()))
            return row;
    }
    return -1;
}

inline int ownRow(const QTableView *view)
{
    const QAbstractItemModel *model = view->model();
    return model ? rowOf(model, ownAddresses()) : -1;
}

// Green or red state cell of the own row; Qt::transparent while there is none.
inline QColor ownCell(const QTableView *view, int column)
{
    const int row = ownRow(view);
    if (row < 0)
        return Qt::transparent;
    const QBrush brush = view->model()->index(row, column).data(Qt::BackgroundRole).value<QBrush>();
    return brush.style() == Qt::SolidPattern ? brush.color() : QColor(Qt::transparent);
}

#endif // PEERVIEW_H
