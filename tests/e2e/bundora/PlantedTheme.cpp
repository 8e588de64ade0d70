// A platform theme plugin as another user would plant it beside the installer. Should Qt ever
// load it, it notes "planted" in the file PLANTED_LOG names and ends the program at once.

#include <fcntl.h>
#include <qpa/qplatformthemeplugin.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

[[gnu::constructor]] void Loaded() {
    if (const char* log = std::getenv("PLANTED_LOG")) {
        const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, "planted\n", 8);
            ::close(fd);
        }
    }
    ::_exit(0);
}

}  // namespace

class PlantedTheme : public QPlatformThemePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QPlatformThemeFactoryInterface_iid FILE "planted-theme.json")

public:
    QPlatformTheme* create(const QString&, const QStringList&) override { return nullptr; }
};

#include "PlantedTheme.moc"
