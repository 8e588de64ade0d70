// handheld-sim serve: the stand-in for SynCE's connection manager. It owns org.synce.dccm on the
// system bus, lists one device while the handheld is plugged in, and answers RequestConnection
// with a one-shot socket that hands over a fresh stream to the emulated handheld.

#include "Serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <ostream>

#include "StreamBroker.h"

namespace wire {

namespace {

const QString kService = QStringLiteral("org.synce.dccm");
const QString kManagerPath = QStringLiteral("/org/synce/dccm/DeviceManager");
const QString kManagerInterface = QStringLiteral("org.synce.dccm.DeviceManager");
const QString kDevicePath = QStringLiteral("/org/synce/dccm/Device/handheld_sim");
const QString kDeviceInterface = QStringLiteral("org.synce.dccm.Device");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// SIGTERM and SIGINT reach the event loop through a socket pair.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

class Dccm : public QDBusVirtualObject {
public:
    Dccm(const ServeOptions& options, QDBusConnection bus) : options_(options), bus_(bus) {}

    StreamBroker& broker() { return broker_; }

    // Follows the handheld being unplugged and plugged in again.
    void watch() {
        const bool now = IsFolder(options_.root);
        if (now == attached_) {
            broker_.reap();
            return;
        }
        attached_ = now;
        if (!now) {
            broker_.dropAll();  // its streams end with the link
        }
        QDBusMessage notice = QDBusMessage::createSignal(
            kManagerPath, kManagerInterface,
            now ? QStringLiteral("DeviceConnected") : QStringLiteral("DeviceDisconnected"));
        notice << QVariant::fromValue(QDBusObjectPath(kDevicePath));
        bus_.send(notice);
        broker_.reap();
    }

    QString introspect(const QString& path) const override {
        if (path == kManagerPath) {
            return QStringLiteral(
                "<interface name=\"org.synce.dccm.DeviceManager\">"
                "<method name=\"GetConnectedDevices\"><arg type=\"ao\" direction=\"out\"/></method>"
                "<signal name=\"DeviceConnected\"><arg type=\"o\"/></signal>"
                "<signal name=\"DeviceDisconnected\"><arg type=\"o\"/></signal>"
                "</interface>");
        }
        if (path == kDevicePath) {
            return QStringLiteral(
                "<interface name=\"org.synce.dccm.Device\">"
                "<method name=\"GetName\"><arg type=\"s\" direction=\"out\"/></method>"
                "<method name=\"RequestConnection\"><arg type=\"s\" direction=\"out\"/></method>"
                "<property name=\"Name\" type=\"s\" access=\"read\"/>"
                "<property name=\"OsMajorVersion\" type=\"u\" access=\"read\"/>"
                "<property name=\"OsMinorVersion\" type=\"u\" access=\"read\"/>"
                "<property name=\"CpuType\" type=\"u\" access=\"read\"/>"
                "<property name=\"PlatformName\" type=\"s\" access=\"read\"/>"
                "<property name=\"ModelName\" type=\"s\" access=\"read\"/>"
                "<property name=\"IpAddress\" type=\"s\" access=\"read\"/>"
                "<property name=\"Guid\" type=\"s\" access=\"read\"/>"
                "<property name=\"IfaceAddress\" type=\"s\" access=\"read\"/>"
                "</interface>");
        }
        return {};
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString path = message.path();
        const QString iface = message.interface();
        const QString member = message.member();
        if (path == kManagerPath && member == QLatin1String("GetConnectedDevices")) {
            QList<QDBusObjectPath> devices;
            if (IsFolder(options_.root)) {
                devices << QDBusObjectPath(kDevicePath);
            }
            return reply(connection, message, QVariant::fromValue(devices));
        }
        if (path == kDevicePath && iface == kProperties) {
            const QVariantMap all = properties();
            const QString wanted = message.arguments().value(0).toString();
            if (member == QLatin1String("GetAll")) {
                return reply(connection, message,
                             wanted.isEmpty() || wanted == kDeviceInterface ? all : QVariantMap{});
            }
            if (member == QLatin1String("Get")) {
                const QString name = message.arguments().value(1).toString();
                if (all.contains(name)) {
                    return reply(connection, message, QVariant::fromValue(QDBusVariant(all[name])));
                }
                return error(connection, message,
                             QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                             QStringLiteral("No such property"));
            }
        }
        if (path == kDevicePath && member == QLatin1String("GetName")) {
            return reply(connection, message, QString::fromStdString(options_.name));
        }
        if (path == kDevicePath && member == QLatin1String("RequestConnection")) {
            return requestConnection(message, connection);
        }
        if (iface == kProperties) {
            return reply(connection, message, QVariantMap{});
        }
        return error(connection, message,
                     QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                     QStringLiteral("No such method: ") + member);
    }

private:
    QVariantMap properties() const {
        return {
            {QStringLiteral("Name"), QString::fromStdString(options_.name)},
            {QStringLiteral("OsMajorVersion"), QVariant::fromValue<uint>(options_.os.major)},
            {QStringLiteral("OsMinorVersion"), QVariant::fromValue<uint>(options_.os.minor)},
            {QStringLiteral("CpuType"), QVariant::fromValue<uint>(2577)},  // ARM
            {QStringLiteral("PlatformName"), QStringLiteral("PocketPC")},
            {QStringLiteral("ModelName"), QStringLiteral("Emulated handheld")},
            {QStringLiteral("IpAddress"), QStringLiteral("169.254.2.1")},
            {QStringLiteral("Guid"), QStringLiteral("{48616e64-6865-6c64-2d73-696d756c6174}")},
            {QStringLiteral("IfaceAddress"), QStringLiteral("169.254.2.2")},
        };
    }

    static bool reply(const QDBusConnection& connection, const QDBusMessage& message,
                      const QVariant& value) {
        connection.send(message.createReply(value));
        return true;
    }

    static bool error(const QDBusConnection& connection, const QDBusMessage& message,
                      const QString& name, const QString& text) {
        connection.send(message.createErrorReply(name, text));
        return true;
    }

    // Connects a fresh emulated handheld, as the installer's connect does: it answers at once,
    // refuses, or never answers (then neither does this call).
    bool requestConnection(const QDBusMessage& message, const QDBusConnection& connection) {
        const QString notAvailable = QStringLiteral("org.synce.dccm.Error.NotAvailable");
        if (!IsFolder(options_.root)) {
            return error(connection, message, notAvailable,
                         QStringLiteral("The handheld is unplugged"));
        }
        auto device = std::make_unique<handheld::EmulatedHandheld>(options_.root);
        RAPIINIT init{sizeof(RAPIINIT), -1, 0};
        if (device->CeRapiInitEx(&init) < 0) {
            return error(connection, message, notAvailable,
                         QStringLiteral("The handheld cannot be connected"));
        }
        pollfd p{init.heRapiInit, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) {
            message.setDelayedReply(true);  // answer=no: the connect is never answered
            return true;
        }
        if (init.hrRapiInit < 0) {
            return error(connection, message, notAvailable,
                         QStringLiteral("The handheld refused the connection"));
        }
        std::string why;
        const std::string socketPath = broker_.offer(std::move(device), options_.os, why);
        if (socketPath.empty()) {
            return error(connection, message, QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                         QString::fromStdString(why));
        }
        return reply(connection, message, QString::fromStdString(socketPath));
    }

    ServeOptions options_;
    QDBusConnection bus_;
    StreamBroker broker_;
    bool attached_ = true;
};

}  // namespace

int Serve(const ServeOptions& options, std::ostream& status, std::string& error) {
    int argc = 1;
    char name[] = "handheld-sim";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    // A client that goes away mid-reply is a failed write, not the end of the server.
    signal(SIGPIPE, SIG_IGN);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        error = "cannot set up signal handling";
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        error = "cannot reach the D-Bus system bus" +
                (address != nullptr ? std::string(" at ") + address : std::string()) + ": " +
                bus.lastError().message().toStdString();
        return 1;
    }
    Dccm dccm(options, bus);
    if (!bus.registerVirtualObject(kManagerPath, &dccm) ||
        !bus.registerVirtualObject(kDevicePath, &dccm)) {
        error = "cannot register the connection manager's objects on the bus";
        return 1;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned =
        bus.interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!owned.isValid()) {
        error = "cannot own " + kService.toStdString() +
                " on the system bus: " + owned.error().message().toStdString();
        return 1;
    }
    if (owned.value() != QDBusConnectionInterface::ServiceRegistered) {
        error = "the name " + kService.toStdString() +
                " is taken on the system bus (is dccm or another serve running?)";
        return 1;
    }
    status << "Serving the handheld at " << options.root << " as \"" << options.name << "\" (OS "
           << options.os.major << "." << options.os.minor << ", Remote API version "
           << ProtocolFor(options.os) << ") until SIGTERM or SIGINT" << std::endl;

    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, &app, [&dccm] { dccm.watch(); });
    watcher.start(200);
    app.exec();

    bus.interface()->unregisterService(kService);
    bus.unregisterObject(kDevicePath);
    bus.unregisterObject(kManagerPath);
    return 0;  // the broker's streams end with dccm
}

}  // namespace wire
