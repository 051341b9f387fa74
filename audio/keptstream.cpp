#include "audio/keptstream.h"

#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>

namespace {

// A stream lost while the server still answers (its device busy, say).
constexpr int reopenAfterMs = 1000;

} // namespace

KeptStream::KeptStream(SoundDevices *devices, const PulseStream::Options &options, const char *failureLine,
                       QObject *parent)
    : QObject(parent), devices(devices), options(options), failureLine(failureLine)
{
    reopener = new QTimer(this);
    reopener->setSingleShot(true);
    reopener->setInterval(reopenAfterMs);
    connect(reopener, &QTimer::timeout, this, &KeptStream::reconsider);
    connect(devices, &SoundDevices::answeringChanged, this, &KeptStream::reconsider);
    connect(devices, &SoundDevices::sourcesChanged, this, &KeptStream::reconsider);
    connect(devices, &SoundDevices::defaultSourceChanged, this, &KeptStream::followDefault);
    chosen = options.device;
    reconsider();
}

KeptStream::~KeptStream()
{
    close();
}

void KeptStream::choose(const QByteArray &chosen)
{
    this->chosen = chosen;
    drop();
    reopener->stop();
    failedOn.clear();
    ran = false;
    failureLogged = false;
    missingTold = false;
    reconsider();
}

void KeptStream::setCorked(bool corked)
{
    options.corked = corked;
}

void KeptStream::close()
{
    closed = true;
    reopener->stop();
    drop();
}

// The one place that decides which stream there should be, and when.
void KeptStream::reconsider()
{
    if (closed)
        return;
    if (!devices->answering()) {
        drop();
        reopener->stop();
        failedOn.clear();
        logFailure();
        return;
    }
    const QByteArray wanted = options.direction == PulseStream::Direction::Capture
        ? devices->captureDevice(chosen) : QByteArray();
    if (wanted.isEmpty() && !chosen.isEmpty() && chosen != "default") {
        if (!missingTold) {
            qWarning() << "input device gone, capturing from the default:" << chosen;
            missingTold = true;
            emit chosenMissing(chosen);
        }
    } else {
        missingTold = false;
    }
    if (current) {
        const bool gone = current->state() == PulseStream::State::Gone;
        if (!gone && current->device() == wanted)
            return;
        if (gone) {
            // Asked for again a second later, not in a loop, while the
            // server still offers the device it failed on.
            failedOn = current->device();
            reopener->start();
        }
        drop();
    }
    if (reopener->isActive() && failedOn == wanted)
        return;
    open(wanted);
}

void KeptStream::followDefault()
{
    // The server moves a stream opened without a device when the default
    // changes; one it left behind is opened again on the new default.
    if (!current || !current->device().isEmpty() || options.direction != PulseStream::Direction::Capture)
        return;
    const QByteArray now = devices->defaultSource();
    const QByteArray on = current->serverDevice();
    if (!now.isEmpty() && !on.isEmpty() && on != now) {
        drop();
        open(QByteArray());
    }
}

void KeptStream::open(const QByteArray &device)
{
    PulseStream::Options asked = options;
    asked.device = device;
    current = devices->openStream(asked);
    if (!current) {
        logFailure();
        // A refusal at once is not retried in a loop either.
        failedOn = device;
        reopener->start();
        return;
    }
    current->setParent(this);
    connect(current, &PulseStream::changed, this, &KeptStream::streamChanged, Qt::QueuedConnection);
    // The server may have answered before the connection was made: news
    // that came then is looked at now.
    if (current->state() != PulseStream::State::Connecting)
        QMetaObject::invokeMethod(this, &KeptStream::streamChanged, Qt::QueuedConnection);
}

void KeptStream::drop()
{
    if (!current)
        return;
    delete current;
    current = nullptr;
    emit dropped();
}

void KeptStream::streamChanged()
{
    if (!current)
        return;
    const PulseStream::State state = current->state();
    if (state == PulseStream::State::Ready)
        ran = true;
    else if (state == PulseStream::State::Gone)
        logFailure();
    emit changed();
    if (state == PulseStream::State::Gone)
        reconsider();
}

void KeptStream::logFailure()
{
    // A stream that ran and was lost is the server's news, told by SoundDevices.
    if (ran || failureLogged)
        return;
    qDebug() << failureLine;
    failureLogged = true;
}
