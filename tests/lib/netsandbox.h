#ifndef NETSANDBOX_H
#define NETSANDBOX_H

#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>
#include <QString>
#include <QStringList>

// Tests that make a Server or a Client broadcast to 255.255.255.255 and bind
// port 8002; they may only run inside the private namespace of sandbox.sh,
// never on a real network.
namespace NetSandbox {

const QString interfaceName = QStringLiteral("veth0");
const QHostAddress ownAddress(QStringLiteral("10.77.0.2"));

inline bool inside()
{
    if (qEnvironmentVariable("INTERCOM_IN_SANDBOX") != QLatin1String("1"))
        return false;
    const QNetworkInterface veth = QNetworkInterface::interfaceFromName(interfaceName);
    for (const QNetworkAddressEntry &entry : veth.addressEntries()) {
        if (entry.ip() == ownAddress)
            return true;
    }
    return false;
}

// Runs `ip` inside the sandbox; returns its error output, empty on success.
inline QString ip(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForFinished(10000))
        return QStringLiteral("ip %1 did not finish").arg(arguments.join(' '));
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("ip %1 failed: %2")
            .arg(arguments.join(' '), QString::fromLocal8Bit(process.readAllStandardError()));
    return QString();
}

} // namespace NetSandbox

#define REQUIRE_NET_SANDBOX()                                                                  \
    do {                                                                                       \
        if (!NetSandbox::inside())                                                             \
            QSKIP("sends datagrams: run it through tests/sandbox.sh (ctest does), never on "   \
                  "the host network");                                                         \
    } while (false)

#endif // NETSANDBOX_H
