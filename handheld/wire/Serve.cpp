// handheld-sim serve: the stand-in for SynCE's connection manager. It owns org.synce.dccm on the
// system bus, shows one device object for each plugged-in handheld with the methods, properties
// and signals of the manager's device objects, asks for the password of a locked handheld, and
// answers RequestConnection with a one-shot socket that hands over a fresh stream to it.

#include "Serve.h"

#include <fcntl.h>
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
#include <atomic>
#include <cerrno>
#include <map>
#include <ostream>
#include <thread>

#include "Storage.h"
#include "StreamBroker.h"

namespace wire {

namespace {

const QString kService = QStringLiteral("org.synce.dccm");
const QString kManagerPath = QStringLiteral("/org/synce/dccm/DeviceManager");
const QString kManagerInterface = QStringLiteral("org.synce.dccm.DeviceManager");
const QString kDeviceBase = QStringLiteral("/org/synce/dccm/Device/handheld_sim");
const QString kDeviceInterface = QStringLiteral("org.synce.dccm.Device");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kNotAvailable = QStringLiteral("org.synce.dccm.Error.NotAvailable");
const QString kDeviceLocked = QStringLiteral("org.synce.dccm.Error.DeviceLocked");

// The manager's password flags, as its device objects report them.
const QString kUnset = QStringLiteral("unset");
const QString kProvide = QStringLiteral("provide");
const QString kChecking = QStringLiteral("checking");
const QString kUnlocked = QStringLiteral("unlocked");

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The settings of the handheld at root (its main memory's); the defaults when unreadable.
handheld::Settings ReadSettings(const std::string& root) {
    const handheld::Fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() ? handheld::ParseSettings(
                             handheld::ReadSettingsFile(dir.get(), handheld::kHandheldSettings))
                       : handheld::Settings{};
}

// SIGTERM and SIGINT reach the event loop through a socket pair.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// One served handheld: its device object and what the manager knows of it.
struct Handheld {
    ServedHandheld config;
    int index = 0;
    QString path;
    bool attached = false;
    std::string name;
    OsVersion os;
    std::string password;
    QString flags = kUnset;
    StreamBroker broker;
    // Removes what writers that are gone left half-way, away from the bus's thread: the walk
    // takes long on a big tree.
    std::thread sweeper;
    std::atomic<bool> sweeping{false};

    ~Handheld() {
        if (sweeper.joinable()) {
            sweeper.join();
        }
    }

    // Reads what the handheld's settings say of it now.
    void readSettings() {
        const handheld::Settings settings = ReadSettings(config.root);
        name = config.name ? *config.name : settings.name;
        os = config.os     ? *config.os
             : settings.os ? OsVersion{settings.os->major, settings.os->minor}
                           : OsVersion{};
        password = settings.password;
        flags = password.empty() ? kUnset : kProvide;
    }

    void sweep() {
        if (sweeping) {
            return;  // one is under way
        }
        if (sweeper.joinable()) {
            sweeper.join();
        }
        sweeping = true;
        sweeper = std::thread([this] {
            const handheld::Fd dir(open(config.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir.valid()) {
                handheld::RemoveStaleTemporaries(dir.get());
            }
            sweeping = false;
        });
    }
};

class Dccm : public QDBusVirtualObject {
public:
    Dccm(const ServeOptions& options, QDBusConnection bus) : bus_(bus) {
        int index = 0;
        for (const auto& config : options.handhelds) {
            auto h = std::make_unique<Handheld>();
            h->config = config;
            h->index = index++;
            h->path =
                h->index == 0 ? kDeviceBase : kDeviceBase + "_" + QString::number(h->index + 1);
            h->readSettings();
            handhelds_.push_back(std::move(h));
        }
    }

    // Two handhelds by one name can't be told apart by SynCE's tools: the name of one, if any.
    // Only those plugged in count: an unplugged one's settings can't be read until it is back.
    std::string sharedName() const {
        for (size_t i = 0; i < handhelds_.size(); ++i) {
            for (size_t j = i + 1; j < handhelds_.size(); ++j) {
                if (handhelds_[i]->name == handhelds_[j]->name &&
                    IsFolder(handhelds_[i]->config.root) && IsFolder(handhelds_[j]->config.root)) {
                    return handhelds_[i]->name;
                }
            }
        }
        return {};
    }

    const std::vector<std::unique_ptr<Handheld>>& handhelds() const { return handhelds_; }

    // Registers the objects; the handhelds plugged in at the start are attached without a
    // signal (nobody can be listening yet). A device object answers only while its handheld
    // is plugged in.
    bool start() {
        if (!bus_.registerVirtualObject(kManagerPath, this)) {
            return false;
        }
        for (auto& h : handhelds_) {
            if (!bus_.registerVirtualObject(h->path, this)) {
                return false;
            }
            if (IsFolder(h->config.root)) {
                attach(*h, false);
            }
        }
        return true;
    }

    void stop() {
        for (auto& h : handhelds_) {
            bus_.unregisterObject(h->path);
            h->broker.dropAll();
        }
        bus_.unregisterObject(kManagerPath);
    }

    // Follows the handhelds being unplugged and plugged in again: on a timer, and before each
    // call, so that a handheld plugged in a moment ago is there for the call.
    void watch() {
        for (auto& h : handhelds_) {
            const bool now = IsFolder(h->config.root);
            if (now && !h->attached) {
                attach(*h, true);
            } else if (!now && h->attached) {
                detach(*h);
            }
        }
    }

    void reap() {
        for (auto& h : handhelds_) {
            h->broker.reap();
        }
    }

    QString introspect(const QString& path) const override {
        if (path == kManagerPath) {
            return QStringLiteral(
                "<interface name=\"org.synce.dccm.DeviceManager\">"
                "<method name=\"GetConnectedDevices\">"
                "<arg name=\"device_list\" type=\"ao\" direction=\"out\"/></method>"
                "<signal name=\"DeviceConnected\"><arg name=\"name\" type=\"s\"/></signal>"
                "<signal name=\"DeviceDisconnected\"><arg name=\"name\" type=\"s\"/></signal>"
                "</interface>");
        }
        if (find(path) == nullptr) {
            return {};
        }
        QString xml = QStringLiteral("<interface name=\"org.synce.dccm.Device\">");
        for (const auto& [method, out] : kGetters) {
            xml += QStringLiteral("<method name=\"%1\">").arg(QLatin1String(method));
            for (const auto& [argName, type] : out) {
                xml += QStringLiteral("<arg name=\"%1\" type=\"%2\" direction=\"out\"/>")
                           .arg(QLatin1String(argName), QLatin1String(type));
            }
            xml += QStringLiteral("</method>");
        }
        for (const auto& [property, type] : kPropertyTypes) {
            xml += QStringLiteral("<property name=\"%1\" type=\"%2\" access=\"read\"/>")
                       .arg(QLatin1String(property), QLatin1String(type));
        }
        xml += QStringLiteral(
            "<method name=\"ProvidePassword\"><arg name=\"password\" type=\"s\" "
            "direction=\"in\"/><arg type=\"b\" direction=\"out\"/></method>"
            "<method name=\"RequestConnection\"><arg name=\"unix_socket_path\" type=\"s\" "
            "direction=\"out\"/></method>"
            "<signal name=\"PasswordFlagsChanged\"><arg name=\"flag\" type=\"s\"/></signal>"
            "</interface>");
        return xml;
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString path = message.path();
        const QString iface = message.interface();
        const QString member = message.member();
        watch();
        if (iface == kIntrospectable || iface == QLatin1String("org.freedesktop.DBus.Peer")) {
            return false;  // answered by the bus library, from introspect()
        }
        if (path == kManagerPath) {
            if (member == QLatin1String("GetConnectedDevices") &&
                (iface.isEmpty() || iface == kManagerInterface)) {
                QList<QDBusObjectPath> devices;
                for (const auto& h : handhelds_) {
                    if (h->attached) {
                        devices << QDBusObjectPath(h->path);
                    }
                }
                return reply(connection, message, QVariant::fromValue(devices));
            }
            if (iface == kProperties && member == QLatin1String("GetAll")) {
                return reply(connection, message, QVariantMap{});
            }
            return unknown(connection, message);
        }
        Handheld* h = find(path);
        if (h == nullptr) {
            return error(connection, message,
                         QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                         QStringLiteral("No device at ") + path);
        }
        if (iface == kProperties) {
            const QVariantMap all = properties(*h);
            const QString wanted = message.arguments().value(0).toString();
            if (member == QLatin1String("GetAll")) {
                return reply(connection, message,
                             wanted.isEmpty() || wanted == kDeviceInterface ? all : QVariantMap{});
            }
            if (member == QLatin1String("Get")) {
                const QString name = message.arguments().value(1).toString();
                if (all.contains(name) && (wanted.isEmpty() || wanted == kDeviceInterface)) {
                    return reply(connection, message, QVariant::fromValue(QDBusVariant(all[name])));
                }
                return error(connection, message,
                             QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                             QStringLiteral("No such property: ") + name);
            }
            if (member == QLatin1String("Set")) {
                return error(connection, message,
                             QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                             QStringLiteral("The device's properties are read-only"));
            }
            return unknown(connection, message);
        }
        if (!iface.isEmpty() && iface != kDeviceInterface) {
            return unknown(connection, message);
        }
        if (member == QLatin1String("GetOsVersion")) {
            QDBusMessage answer = message.createReply(QVariant::fromValue<uint>(h->os.major));
            answer << QVariant::fromValue<uint>(h->os.minor);
            connection.send(answer);
            return true;
        }
        for (const auto& [method, out] : kGetters) {
            if (member == QLatin1String(method) && out.size() == 1) {
                const QVariantMap all = properties(*h);
                return reply(connection, message, all.value(QLatin1String(method + 3)));
            }
        }
        if (member == QLatin1String("ProvidePassword")) {
            return providePassword(*h, message, connection);
        }
        if (member == QLatin1String("RequestConnection")) {
            return requestConnection(*h, message, connection);
        }
        return unknown(connection, message);
    }

private:
    // The device's Get methods with their results (name, type), as the manager has them; each
    // of one result returns the property of its name without "Get".
    using Args = std::vector<std::pair<const char*, const char*>>;
    inline static const std::vector<std::pair<const char*, Args>> kGetters = {
        {"GetName", {{"name", "s"}}},
        {"GetPlatformName", {{"platform_name", "s"}}},
        {"GetModelName", {{"model_name", "s"}}},
        {"GetOsVersion", {{"os_major", "u"}, {"os_minor", "u"}}},
        {"GetVersion", {{"version", "u"}}},
        {"GetCpuType", {{"cpu_type", "u"}}},
        {"GetIpAddress", {{"ip_address", "s"}}},
        {"GetIfaceAddress", {{"iface_address", "s"}}},
        {"GetGuid", {{"guid", "s"}}},
        {"GetPasswordFlags", {{"pw_flags", "s"}}},
        {"GetCurrentPartnerId", {{"cur_partner_id", "u"}}},
    };
    inline static const std::vector<std::pair<const char*, const char*>> kPropertyTypes = {
        {"Name", "s"},           {"PlatformName", "s"},   {"ModelName", "s"},
        {"OsMajorVersion", "u"}, {"OsMinorVersion", "u"}, {"Version", "u"},
        {"CpuType", "u"},        {"IpAddress", "s"},      {"IfaceAddress", "s"},
        {"Guid", "s"},           {"PasswordFlags", "s"},  {"CurrentPartnerId", "u"},
    };

    Handheld* find(const QString& path) const {
        for (const auto& h : handhelds_) {
            if (h->attached && h->path == path) {
                return h.get();
            }
        }
        return nullptr;
    }

    static QVariantMap properties(const Handheld& h) {
        const QString subnet = QStringLiteral("169.254.%1.").arg(2 + h.index);
        return {
            {QStringLiteral("Name"), QString::fromStdString(h.name)},
            {QStringLiteral("PlatformName"), QStringLiteral("PocketPC")},
            {QStringLiteral("ModelName"), QStringLiteral("Emulated handheld")},
            {QStringLiteral("OsMajorVersion"), QVariant::fromValue<uint>(h.os.major)},
            {QStringLiteral("OsMinorVersion"), QVariant::fromValue<uint>(h.os.minor)},
            {QStringLiteral("Version"), QVariant::fromValue<uint>(0)},
            {QStringLiteral("CpuType"), QVariant::fromValue<uint>(2577)},  // ARM
            {QStringLiteral("IpAddress"), subnet + QStringLiteral("1")},
            {QStringLiteral("IfaceAddress"), subnet + QStringLiteral("2")},
            {QStringLiteral("Guid"), QStringLiteral("{48616e64-6865-6c64-2d73-696d756c%1}")
                                         .arg(h.index, 4, 16, QLatin1Char('0'))},
            {QStringLiteral("PasswordFlags"), h.flags},
            {QStringLiteral("CurrentPartnerId"), QVariant::fromValue<uint>(0)},
        };
    }

    void attach(Handheld& h, bool announce) {
        h.readSettings();
        h.attached = true;
        h.sweep();
        if (announce) {
            signalManager(QStringLiteral("DeviceConnected"), h.path);
        }
    }

    void detach(Handheld& h) {
        h.attached = false;
        h.broker.dropAll();  // its streams end with the link
        signalManager(QStringLiteral("DeviceDisconnected"), h.path);
    }

    // The manager's signals carry the device object's path as a string.
    void signalManager(const QString& name, const QString& path) {
        QDBusMessage notice = QDBusMessage::createSignal(kManagerPath, kManagerInterface, name);
        notice << path;
        bus_.send(notice);
    }

    void changeFlags(Handheld& h, const QString& flags) {
        h.flags = flags;
        QDBusMessage changed = QDBusMessage::createSignal(h.path, kDeviceInterface,
                                                          QStringLiteral("PasswordFlagsChanged"));
        changed << flags;
        bus_.send(changed);
        QDBusMessage properties =
            QDBusMessage::createSignal(h.path, kProperties, QStringLiteral("PropertiesChanged"));
        properties << kDeviceInterface << QVariantMap{{QStringLiteral("PasswordFlags"), flags}}
                   << QStringList();
        bus_.send(properties);
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

    static bool unknown(const QDBusConnection& connection, const QDBusMessage& message) {
        return error(connection, message,
                     QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                     QStringLiteral("No such method: ") + message.member());
    }

    // As the manager does: only a locked handheld expects a password; a wrong one answers false
    // and the handheld stays locked, the right one unlocks it until it is unplugged.
    bool providePassword(Handheld& h, const QDBusMessage& message,
                         const QDBusConnection& connection) {
        if (message.signature() != QLatin1String("s")) {
            return error(connection, message,
                         QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                         QStringLiteral("ProvidePassword takes one string"));
        }
        if (h.flags != kProvide) {
            return error(connection, message, kNotAvailable,
                         QStringLiteral("No password expected in the current state."));
        }
        changeFlags(h, kChecking);
        const bool right =
            message.arguments().value(0).toString() == QString::fromStdString(h.password);
        changeFlags(h, right ? kUnlocked : kProvide);
        return reply(connection, message, right);
    }

    // Connects a fresh emulated handheld, as the installer's connect does: it answers at once,
    // refuses, or never answers (then neither does this call).
    bool requestConnection(Handheld& h, const QDBusMessage& message,
                           const QDBusConnection& connection) {
        if (h.flags == kProvide || h.flags == kChecking) {
            return error(connection, message, kDeviceLocked,
                         QStringLiteral("Not authenticated, you need to call ProvidePassword "
                                        "with the correct password."));
        }
        // Only a process of serve's own user can take the stream up: others are told now.
        QDBusConnectionInterface* daemon = bus_.interface();
        const QDBusReply<uint> uid = daemon->serviceUid(message.service());
        if (uid.isValid() && uid.value() != geteuid()) {
            return error(connection, message,
                         QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                         QStringLiteral("The handheld serves only its own user"));
        }
        const QDBusReply<uint> pid = daemon->servicePid(message.service());
        const uint64_t caller = pid.isValid() ? pid.value() : qHash(message.service());
        if (!IsFolder(h.config.root)) {
            return error(connection, message, kNotAvailable,
                         QStringLiteral("The handheld is unplugged"));
        }
        auto device = std::make_unique<handheld::EmulatedHandheld>(h.config.root, false);
        // The manager has checked the password: the device takes it as given.
        device->RapiUnlockDevice(QString::fromStdString(h.password).toStdU16String().c_str());
        RAPIINIT init{sizeof(RAPIINIT), -1, 0};
        if (device->CeRapiInitEx(&init) < 0) {
            return error(connection, message, kNotAvailable,
                         QStringLiteral("The handheld cannot be connected"));
        }
        pollfd p{init.heRapiInit, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) {
            message.setDelayedReply(true);  // answer=no: the connect is never answered
            return true;
        }
        if (init.hrRapiInit < 0) {
            return error(connection, message, kNotAvailable,
                         QStringLiteral("The handheld refused the connection"));
        }
        std::string why;
        bool limited = false;
        const std::string socketPath = h.broker.offer(
            std::move(device), h.os, why, StreamBroker::kHandOverWait, caller, &limited);
        if (socketPath.empty()) {
            return error(connection, message,
                         limited ? QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded")
                                 : QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                         QString::fromStdString(why));
        }
        return reply(connection, message, QString::fromStdString(socketPath));
    }

    QDBusConnection bus_;
    std::vector<std::unique_ptr<Handheld>> handhelds_;
};

}  // namespace

int Serve(const ServeOptions& options, std::ostream& status, std::string& error) {
    if (options.handhelds.empty()) {
        error = "no handheld to serve";
        return 1;
    }
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
    if (const std::string shared = dccm.sharedName(); !shared.empty()) {
        error = "two handhelds are called \"" + shared +
                "\"; give each its own name with: handheld-sim set ROOT --name NAME";
        return 1;
    }
    if (!dccm.start()) {
        error = "cannot register the connection manager's objects on the bus";
        return 1;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned =
        bus.interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!owned.isValid()) {
        error = "cannot own " + kService.toStdString() +
                " on the system bus: " + owned.error().message().toStdString();
        dccm.stop();
        return 1;
    }
    if (owned.value() != QDBusConnectionInterface::ServiceRegistered) {
        error = "the name " + kService.toStdString() +
                " is taken on the system bus (is dccm or another serve running?)";
        dccm.stop();
        return 1;
    }
    status << "Serving ";
    for (size_t i = 0; i < dccm.handhelds().size(); ++i) {
        const Handheld& h = *dccm.handhelds()[i];
        status << (i == 0 ? "" : ", ") << "the handheld at " << h.config.root << " as \"" << h.name
               << "\" (OS " << h.os.major << "." << h.os.minor << ", Remote API version "
               << ProtocolFor(h.os) << (h.password.empty() ? "" : ", locked") << ")";
    }
    status << " until SIGTERM or SIGINT" << std::endl;

    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, &app, [&dccm] {
        dccm.watch();
        dccm.reap();
    });
    watcher.start(200);
    app.exec();

    bus.interface()->unregisterService(kService);
    dccm.stop();
    return 0;  // the brokers' streams end with dccm
}

}  // namespace wire
