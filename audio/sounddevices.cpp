#include "audio/sounddevices.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace {

// A server that went away is asked again this often: a failed connect costs a
// few system calls, and sound comes back within this of the server answering.
constexpr pa_usec_t retryUsec = 500 * PA_USEC_PER_MSEC;
constexpr int startupWaitMs = 1000;

std::atomic<SoundDevices *> theInstance{nullptr};

// Waits for an operation on the connection, but not beyond the deadline: a
// server that hangs must not keep the program from ending. Takes the operation.
bool finishes(pa_threaded_mainloop *loop, pa_operation *op, const QDeadlineTimer &deadline)
{
    if (!op)
        return false;
    for (;;) {
        {
            SoundLoopLock locked(loop);
            const pa_operation_state_t state = pa_operation_get_state(op);
            if (state != PA_OPERATION_RUNNING || deadline.hasExpired()) {
                if (state == PA_OPERATION_RUNNING)
                    pa_operation_cancel(op);
                pa_operation_unref(op);
                return state == PA_OPERATION_DONE;
            }
        }
        QThread::msleep(1);
    }
}

// Sees the toolkit's sound engine being told, on the main thread, that its
// connection has failed: by then the engine's thread is done with it.
class ToolkitEngineWatch : public QObject
{
public:
    QEventLoop waiting;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MetaCall && qstrcmp(watched->metaObject()->className(), "QPulseAudioEngine") == 0)
            waiting.quit();
        return false;
    }
};

} // namespace

// The connection's callbacks, run on its event thread with its lock held.
struct SoundServerCallbacks
{
    static void state(pa_context *, void *self)
    {
        static_cast<SoundDevices *>(self)->contextStateChanged();
    }

    static void event(pa_context *, pa_subscription_event_type_t, uint32_t, void *self)
    {
        static_cast<SoundDevices *>(self)->requestSources();
    }

    static void retryDue(pa_mainloop_api *api, pa_time_event *event, const struct timeval *, void *self)
    {
        auto *devices = static_cast<SoundDevices *>(self);
        api->time_free(event);
        {
            std::lock_guard<std::mutex> guard(devices->sourcesLock);
            devices->retry = nullptr;
        }
        devices->connectToServer();
    }

    static void source(pa_context *, const pa_source_info *info, int eol, void *self)
    {
        auto *devices = static_cast<SoundDevices *>(self);
        std::unique_lock<std::mutex> guard(devices->sourcesLock);
        if (!eol) {
            SoundDevices::Source found;
            found.name = QByteArray(info->name);
            found.description = QString::fromUtf8(info->description ? info->description : info->name);
            found.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
            devices->gathering.append(found);
            return;
        }
        devices->listing = false;
        if (eol > 0 && devices->serverAnswers) {
            // Microphones first, each group in the server's own order.
            std::stable_partition(devices->gathering.begin(), devices->gathering.end(),
                                  [](const SoundDevices::Source &s) { return !s.monitor; });
            // A source changes its state whenever a stream on it starts or
            // stops (a broadcast, say): only a change of the list is news.
            const bool changed = !devices->listed || devices->known != devices->gathering;
            devices->known = devices->gathering;
            devices->listed = true;
            if (changed)
                QMetaObject::invokeMethod(devices, "deliverSources", Qt::QueuedConnection);
        }
        devices->gathering.clear();
        if (devices->listAgain) {
            devices->listAgain = false;
            guard.unlock();
            devices->requestSources();
        }
    }

    // The toolkit's own connection, under the name its PulseAudio engine gives it.
    static void client(pa_context *, const pa_client_info *info, int eol, void *self)
    {
        if (eol || !info)
            return;
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        // Another process's toolkit may share the name where process ids are
        // counted apart (a sandboxed desktop application, say).
        const char *processId = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        if (QByteArray(info->name) != "QtPulseAudio:" + pid || (processId && pid != processId))
            return;
        auto *devices = static_cast<SoundDevices *>(self);
        std::lock_guard<std::mutex> guard(devices->sourcesLock);
        devices->toolkitClients.append(info->index);
    }

    static void clientKilled(pa_context *, int success, void *self)
    {
        auto *devices = static_cast<SoundDevices *>(self);
        std::lock_guard<std::mutex> guard(devices->sourcesLock);
        devices->toolkitDropped |= success != 0;
    }
};

SoundDevices *SoundDevices::instance()
{
    if (!theInstance) {
        Q_ASSERT(QCoreApplication::instance()
                 && QThread::currentThread() == QCoreApplication::instance()->thread());
        theInstance = new SoundDevices(nullptr);
        // Gone while the application object is still whole: the library's
        // thread posts to this object until its destructor has stopped it.
        qAddPostRoutine([] { delete theInstance.load(); });
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, theInstance.load(),
                         &SoundDevices::dropToolkitConnection);
    }
    return theInstance.load();
}

SoundDevices::SoundDevices(QObject *parent)
    : QObject(parent)
{
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return;
    pa_threaded_mainloop_set_name(loop, "intercom-sound");
    if (pa_threaded_mainloop_start(loop) < 0) {
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
        return;
    }
    {
        SoundLoopLock locked(loop);
        connectToServer();
    }
    // The window lists the devices right after this: give a server that is
    // there the moment it takes to answer (a few milliseconds), without
    // waiting for ever on one that hangs.
    for (int waited = 0; waited < startupWaitMs && !settled(); waited += 5)
        QThread::msleep(5);
    answeringShown = serverAnswers;
    if (!answeringShown) {
        qWarning() << "sound server not answering";
        lossLogged = true;
    }
}

bool SoundDevices::settled() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return listed || retry;
}

SoundDevices::~SoundDevices()
{
    if (theInstance == this)
        theInstance = nullptr;
    if (!loop)
        return;
    {
        SoundLoopLock locked(loop);
        std::lock_guard<std::mutex> guard(sourcesLock);
        if (retry)
            pa_threaded_mainloop_get_api(loop)->time_free(retry);
        retry = nullptr;
        dropContext();
    }
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

SoundLoopLock::SoundLoopLock(pa_threaded_mainloop *loop)
    : loop(loop)
{
    pa_threaded_mainloop_lock(loop);
}

SoundLoopLock::~SoundLoopLock()
{
    pa_threaded_mainloop_unlock(loop);
}

void SoundDevices::dropToolkitConnection()
{
    if (!loop)
        return;
    const QDeadlineTimer deadline(1000);
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        toolkitClients.clear();
        toolkitDropped = false;
    }
    // Each operation is over, finished or cancelled, before the next: no
    // callback comes after this returns.
    pa_operation *listing = nullptr;
    {
        SoundLoopLock locked(loop);
        if (pa_context *connection = readyContext())
            listing = pa_context_get_client_info_list(connection, SoundServerCallbacks::client, this);
    }
    if (!finishes(loop, listing, deadline))
        return;
    QVector<uint32_t> clients;
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        clients = toolkitClients;
    }
    for (const uint32_t client : clients) {
        pa_operation *killing = nullptr;
        {
            SoundLoopLock locked(loop);
            if (pa_context *connection = readyContext())
                killing = pa_context_kill_client(connection, client, SoundServerCallbacks::clientKilled, this);
        }
        finishes(loop, killing, deadline);
    }
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        if (!toolkitDropped || deadline.hasExpired())
            return;
    }
    ToolkitEngineWatch watch;
    QCoreApplication::instance()->installEventFilter(&watch);
    QTimer::singleShot(int(deadline.remainingTime()), &watch.waiting, &QEventLoop::quit);
    watch.waiting.exec(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::instance()->removeEventFilter(&watch);
}

bool SoundDevices::answering() const
{
    return serverAnswers;
}

QList<SoundDevices::Source> SoundDevices::sources() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return known;
}

bool SoundDevices::hasSource(const QByteArray &name) const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return std::any_of(known.cbegin(), known.cend(), [&](const Source &s) { return s.name == name; });
}

QString SoundDevices::description(const QByteArray &name) const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    for (const Source &s : known) {
        if (s.name == name)
            return s.description;
    }
    return QString::fromUtf8(name);
}

pa_context *SoundDevices::readyContext() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
        return context;
    return nullptr;
}

void SoundDevices::dropContext()
{
    // With sourcesLock held.
    if (!context)
        return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

void SoundDevices::connectToServer()
{
    std::unique_lock<std::mutex> guard(sourcesLock);
    dropContext();
    listing = false;
    listAgain = false;
    gathering.clear();
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "intercom");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "org.lanintercom.Intercom");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "intercom", properties);
    pa_proplist_free(properties);
    if (!context) {
        retryLater();
        return;
    }
    pa_context_set_state_callback(context, SoundServerCallbacks::state, this);
    // Only the first attempt may start a server of the user's own; a retry
    // must not start one every half second.
    const auto flags = firstAttempt ? PA_CONTEXT_NOFLAGS : PA_CONTEXT_NOAUTOSPAWN;
    firstAttempt = false;
    pa_context *connecting = context;
    guard.unlock();
    // A server that is not there fails here at once, through the state callback.
    if (pa_context_connect(connecting, nullptr, flags, nullptr) < 0) {
        std::lock_guard<std::mutex> again(sourcesLock);
        retryLater();
    }
}

void SoundDevices::retryLater()
{
    // With sourcesLock held.
    if (retry)
        return;
    timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, retryUsec);
    retry = pa_threaded_mainloop_get_api(loop)->time_new(pa_threaded_mainloop_get_api(loop), &when,
                                                         SoundServerCallbacks::retryDue, this);
}

void SoundDevices::contextStateChanged()
{
    std::unique_lock<std::mutex> guard(sourcesLock);
    if (!context)
        return;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        pa_context_set_subscribe_callback(context, SoundServerCallbacks::event, this);
        const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation *subscribing = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(subscribing);
        serverAnswers = true;
        guard.unlock();
        requestSources();
        QMetaObject::invokeMethod(this, "deliverAnswering", Qt::QueuedConnection);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        serverAnswers = false;
        known.clear();
        retryLater();
        guard.unlock();
        QMetaObject::invokeMethod(this, "deliverAnswering", Qt::QueuedConnection);
        QMetaObject::invokeMethod(this, "deliverSources", Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void SoundDevices::requestSources()
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    // One listing at a time; events during it ask for one more after it.
    if (listing) {
        listAgain = true;
        return;
    }
    gathering.clear();
    if (pa_operation *op = pa_context_get_source_info_list(context, SoundServerCallbacks::source, this)) {
        listing = true;
        pa_operation_unref(op);
    }
}

void SoundDevices::deliverAnswering()
{
    const bool now = serverAnswers;
    if (now == answeringShown)
        return;
    answeringShown = now;
    if (!now) {
        qWarning() << "sound server not answering";
        lossLogged = true;
    } else if (lossLogged) {
        qInfo() << "sound server answering";
        lossLogged = false;
    }
    emit answeringChanged(now);
}

void SoundDevices::deliverSources()
{
    emit sourcesChanged();
}
