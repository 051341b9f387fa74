#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <atomic>
#include <mutex>

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
        std::lock_guard<std::mutex> locker(mutex);
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
        std::lock_guard<std::mutex> locker(mutex);
        captured.clear();
    }

    // Lets a test put its own events into the same ordered record.
    void note(const QString &line)
    {
        std::lock_guard<std::mutex> locker(mutex);
        captured.append(line);
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        LogCapture *capture = instance.load();
        if (!capture)
            return;
        capture->note(message);
        if (type != QtDebugMsg && capture->previous)
            capture->previous(type, context, message);
    }

    static inline std::atomic<LogCapture *> instance{nullptr};
    QtMessageHandler previous = nullptr;
    mutable std::mutex mutex;
    QStringList captured;
};

#endif // LOGCAPTURE_H
