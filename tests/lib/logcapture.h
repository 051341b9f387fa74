#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the program's debug log, the only trace some of its behaviour
// leaves. Debug lines are kept out of the test output (ten "update sent"
// lines a second would drown it); warnings and worse still pass through.
class LogCapture
{
public:
    LogCapture() { previous = qInstallMessageHandler(&LogCapture::handle); instance = this; }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return captured;
    }
    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList matching;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                matching.append(line);
        }
        return matching;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        captured.clear();
    }

    // Lets a test put its own events into the same ordered record.
    void note(const QString &line)
    {
        QMutexLocker locker(&mutex);
        captured.append(line);
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (instance)
            instance->note(message);
        if (type != QtDebugMsg && instance && instance->previous)
            instance->previous(type, context, message);
    }

    static inline LogCapture *instance = nullptr;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList captured;
};

#endif // LOGCAPTURE_H
