#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects every message the code under test writes, from any thread, in
// order: the debug log is the only trace some of its behaviour leaves. Debug
// lines are kept out of the test output (ten "update sent" lines a second
// would drown it); warnings and worse still pass through.
class LogCapture
{
public:
    struct Message
    {
        QtMsgType type;
        QString text;
    };

    LogCapture()
    {
        std::lock_guard<std::mutex> locker(mutex);
        previous = qInstallMessageHandler(&LogCapture::handle);
        instance = this;
    }
    ~LogCapture()
    {
        {
            // Waits for a message being recorded on another thread.
            std::lock_guard<std::mutex> locker(mutex);
            instance = nullptr;
        }
        qInstallMessageHandler(previous);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Message> messages() const
    {
        std::lock_guard<std::mutex> locker(mutex);
        return recorded;
    }
    QStringList lines() const
    {
        return texts([](QtMsgType) { return true; });
    }
    QStringList debugLines() const
    {
        return texts([](QtMsgType type) { return type == QtDebugMsg; });
    }
    // Warnings, criticals and fatals.
    QStringList warnings() const
    {
        return texts([](QtMsgType type) { return type != QtDebugMsg && type != QtInfoMsg; });
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
        recorded.clear();
    }

    // Lets a test put its own events into the same ordered record.
    void note(const QString &line)
    {
        std::lock_guard<std::mutex> locker(mutex);
        recorded.append(Message{QtDebugMsg, line});
    }

private:
    template <typename Wanted>
    QStringList texts(Wanted wanted) const
    {
        QStringList result;
        for (const Message &message : messages()) {
            if (wanted(message.type))
                result.append(message.text);
        }
        return result;
    }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        QtMessageHandler passOn = nullptr;
        {
            std::lock_guard<std::mutex> locker(mutex);
            if (!instance)
                return;
            instance->recorded.append(Message{type, text});
            passOn = instance->previous;
        }
        if (type != QtDebugMsg && passOn)
            passOn(type, context, text);
    }

    // Threads log while a capture comes and goes: one lock for all of it.
    static inline std::mutex mutex;
    static inline LogCapture *instance = nullptr;
    QtMessageHandler previous = nullptr;
    QList<Message> recorded;
};

#endif // LOGCAPTURE_H
