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
        pa_threaded_mainloop_lock(loop);
        const pa_operation_state_t state = pa_operation_get_state(op);
        const bool over = state != PA_OPERATION_RUNNING || deadline.hasExpired();
        if (over) {
            if (state == PA_OPERATION_RUNNING)
                pa_operation_cancel(op);
            pa_operation_unref(op);
        }
        pa_threaded_mainloop_unlock(loop);
        if (over)
            return state == PA_OPERATION_DONE;
        QThread::msleep(1);
    }
}

// The toolkit's connection as the server lists it, and whether the server
// agreed to drop it: written on the connection's event thread, read on the
// main thread, under a lock of its own. The sound library's lock and the
// pointer it hands its callbacks are hand-offs that ThreadSanitizer cannot
// see, so the callbacks take the one being asked from `asking`.
struct ToolkitConnection
{
    static std::atomic<ToolkitConnection *> asking;

    QByteArray name;
    QByteArray pid;
    std::mutex lock;
    QVector<uint32_t> clients;
    bool dropped = false;

    static void listed(pa_context *, const pa_client_info *info, int eol, void *)
    {
        ToolkitConnection *toolkit = asking.load(std::memory_order_acquire);
        if (!toolkit)
            return;
        std::lock_guard<std::mutex> guard(toolkit->lock);
        if (eol || !info || toolkit->name != info->name)
            return;
        // Another process's toolkit may share the name where process ids are
        // counted apart (a sandboxed desktop application, say).
        const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        if (pid && toolkit->pid != pid)
            return;
        toolkit->clients.append(info->index);
    }

    static void killed(pa_context *, int success, void *)
    {
        ToolkitConnection *toolkit = asking.load(std::memory_order_acquire);
        if (!toolkit)
            return;
        std::lock_guard<std::mutex> guard(toolkit->lock);
        toolkit->dropped |= success != 0;
    }
};

std::atomic<ToolkitConnection *> ToolkitConnection::asking{nullptr};

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
    pa_threaded_mainloop_lock(loop);
    connectToServer();
    // The window lists the devices right after this: give a server that is
    // there the moment it takes to answer (a few milliseconds), without
    // waiting for ever on one that hangs.
    for (int waited = 0; waited < startupWaitMs && !settled(); waited += 5) {
        pa_threaded_mainloop_unlock(loop);
        QThread::msleep(5);
        pa_threaded_mainloop_lock(loop);
    }
    pa_threaded_mainloop_unlock(loop);
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
    pa_threaded_mainloop_lock(loop);
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        if (retry)
            pa_threaded_mainloop_get_api(loop)->time_free(retry);
        retry = nullptr;
        dropContext();
    }
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

void SoundDevices::dropToolkitConnection()
{
    if (!loop)
        return;
    const QDeadlineTimer deadline(1000);
    // The name and process id the toolkit's PulseAudio engine connects under.
    ToolkitConnection toolkit;
    {
        std::lock_guard<std::mutex> guard(toolkit.lock);
        toolkit.pid = QByteArray::number(QCoreApplication::applicationPid());
        toolkit.name = "QtPulseAudio:" + toolkit.pid;
    }
    // Each operation below is finished or cancelled before the next, and
    // the last before this returns: no callback comes after.
    ToolkitConnection::asking.store(&toolkit, std::memory_order_release);
    struct Unpublish
    {
        ~Unpublish() { ToolkitConnection::asking.store(nullptr, std::memory_order_release); }
    } unpublish;
    pa_threaded_mainloop_lock(loop);
    pa_context *connection = readyContext();
    pa_operation *listing =
        connection ? pa_context_get_client_info_list(connection, ToolkitConnection::listed, nullptr) : nullptr;
    pa_threaded_mainloop_unlock(loop);
    if (!finishes(loop, listing, deadline))
        return;
    QVector<uint32_t> clients;
    {
        std::lock_guard<std::mutex> guard(toolkit.lock);
        clients = toolkit.clients;
    }
    for (const uint32_t client : clients) {
        pa_threaded_mainloop_lock(loop);
        connection = readyContext();
        pa_operation *killing =
            connection ? pa_context_kill_client(connection, client, ToolkitConnection::killed, nullptr) : nullptr;
        pa_threaded_mainloop_unlock(loop);
        finishes(loop, killing, deadline);
    }
    bool dropped = false;
    {
        std::lock_guard<std::mutex> guard(toolkit.lock);
        dropped = toolkit.dropped;
    }
    if (!dropped || deadline.hasExpired())
        return;
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
