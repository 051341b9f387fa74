#include "audio/sounddevices.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <utility>

namespace {

// A server that went away is asked again this often: a failed connect costs a
// few system calls, and sound comes back within this of the server answering.
constexpr pa_usec_t retryUsec = 500 * PA_USEC_PER_MSEC;
constexpr int startupWaitMs = 1000;

std::atomic<SoundDevices *> theInstance{nullptr};

} // namespace

// The connection's callbacks, run on its event thread with its lock held.
struct SoundServerCallbacks
{
    static void state(pa_context *, void *self)
    {
        static_cast<SoundDevices *>(self)->contextStateChanged();
    }

    static void event(pa_context *, pa_subscription_event_type_t type, uint32_t, void *self)
    {
        auto *devices = static_cast<SoundDevices *>(self);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER)
            devices->requestServerInfo();
        else
            devices->requestSources();
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

    static void server(pa_context *, const pa_server_info *info, void *self)
    {
        auto *devices = static_cast<SoundDevices *>(self);
        {
            std::lock_guard<std::mutex> guard(devices->sourcesLock);
            if (!info || !devices->context)
                return;
            devices->knownDefault = QByteArray(info->default_source_name ? info->default_source_name : "");
            devices->defaultKnown = true;
        }
        QMetaObject::invokeMethod(devices, "deliverDefault", Qt::QueuedConnection);
        devices->becomeReadyOnceKnown();
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
        if (eol > 0 && devices->context) {
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
        const bool again = std::exchange(devices->listAgain, false);
        guard.unlock();
        devices->becomeReadyOnceKnown();
        if (again)
            devices->requestSources();
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
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        defaultShown = knownDefault;
    }
    if (!answeringShown) {
        qWarning() << "sound server not answering";
        lossLogged = true;
    }
}

bool SoundDevices::settled() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return serverAnswers || retry;
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

bool SoundDevices::answering() const
{
    return serverAnswers;
}

QList<SoundDevices::Source> SoundDevices::sources() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return known;
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

QByteArray SoundDevices::defaultSource() const
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    return knownDefault;
}

QByteArray SoundDevices::captureDevice(const QByteArray &chosen, const QList<Source> &listed)
{
    const bool there = std::any_of(listed.cbegin(), listed.cend(), [&](const Source &s) { return s.name == chosen; });
    return chosen != "default" && there ? chosen : QByteArray();
}

QByteArray SoundDevices::captureDevice(const QByteArray &chosen) const
{
    return captureDevice(chosen, sources());
}

PulseStream *SoundDevices::openStream(const PulseStream::Options &options)
{
    if (!loop || !serverAnswers)
        return nullptr;
    SoundLoopLock locked(loop);
    pa_context *ready = nullptr;
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            ready = context;
    }
    return ready ? PulseStream::open(loop, ready, options) : nullptr;
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
    listed = false;
    defaultKnown = false;
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
        guard.unlock();
        // Answering is told once both are in: a stream opened before the
        // list came would find no device of the operator's choice.
        requestSources();
        requestServerInfo();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        serverAnswers = false;
        known.clear();
        knownDefault.clear();
        listed = false;
        defaultKnown = false;
        retryLater();
        guard.unlock();
        QMetaObject::invokeMethod(this, "deliverAnswering", Qt::QueuedConnection);
        QMetaObject::invokeMethod(this, "deliverSources", Qt::QueuedConnection);
        QMetaObject::invokeMethod(this, "deliverDefault", Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void SoundDevices::becomeReadyOnceKnown()
{
    {
        std::lock_guard<std::mutex> guard(sourcesLock);
        if (serverAnswers || !listed || !defaultKnown || !context
            || pa_context_get_state(context) != PA_CONTEXT_READY)
            return;
        serverAnswers = true;
    }
    QMetaObject::invokeMethod(this, "deliverAnswering", Qt::QueuedConnection);
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

void SoundDevices::requestServerInfo()
{
    std::lock_guard<std::mutex> guard(sourcesLock);
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    if (pa_operation *op = pa_context_get_server_info(context, SoundServerCallbacks::server, this))
        pa_operation_unref(op);
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

void SoundDevices::deliverDefault()
{
    const QByteArray now = defaultSource();
    if (now == defaultShown)
        return;
    defaultShown = now;
    emit defaultSourceChanged();
}
