#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QWidget;

// One instance per user and network: a second one could not bind the port
// the first holds and would hear nobody, so a second start brings the first
// one's window forward instead.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);

    // False when an instance already runs here: its window has been asked to
    // come forward and this one should end. True makes this the instance
    // that later starts reach.
    bool claim();
    // The window that later starts bring forward.
    void setWindow(QWidget *window);

private:
    bool raiseRunning() const;
    void answer();

    const QString name;
    QLocalServer *server = nullptr;
    QPointer<QWidget> window;
};

#endif // SINGLEINSTANCE_H
