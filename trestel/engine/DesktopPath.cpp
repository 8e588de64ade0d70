#include "DesktopPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "LocalPath.h"
#include "Text.h"

namespace DesktopPath {

namespace {

// A regular file once links are followed (hidden names are turned away by the caller).
bool isPlainFile(int dirFd, const QByteArray& path) {
    struct stat st {};
    return fstatat(dirFd, path.constData(), &st, 0) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int16_t FileExists(QString sPath) {
    try {
        if (sPath.isEmpty() || sPath.contains(QChar(u'\0'))) {
            return kFalse;
        }
        const qsizetype nSlash = sPath.lastIndexOf(QLatin1Char('/'));
        const QString sName = sPath.mid(nSlash + 1);
        if (sName.isEmpty() || sName.startsWith(QLatin1Char('.'))) {
            return kFalse;
        }
        if (!sName.contains(QLatin1Char('*')) && !sName.contains(QLatin1Char('?'))) {
            // No search needed: the folder need only be passable, not readable.
            return isPlainFile(AT_FDCWD, LocalPath::encode(sPath)) ? kTrue : kFalse;
        }
        const QString sFolder = nSlash < 0    ? QStringLiteral(".")
                                : nSlash == 0 ? QStringLiteral("/")
                                              : sPath.left(nSlash);
        DIR* dir = opendir(LocalPath::encode(sFolder).constData());
        if (dir == nullptr) {
            return kFalse;
        }
        const std::u32string pattern = sName.toStdU32String();
        bool bFound = false;
        while (!bFound) {
            const dirent* entry = readdir(dir);
            if (entry == nullptr) {
                break;
            }
            const QByteArray name(entry->d_name);
            bFound = !name.startsWith('.') &&
                     text::wildcardMatch(pattern, LocalPath::decode(name).toStdU32String(),
                                         text::Case::Sensitive) &&
                     isPlainFile(dirfd(dir), name);
        }
        closedir(dir);
        return bFound ? kTrue : kFalse;
    } catch (...) {
        return kFalse;
    }
}

QString GetFileName(QString sPath) {
    qsizetype i = sPath.size();
    while (i > 0) {
        const QChar c = sPath[i - 1];
        if (c == u':' || c == u'\\' || c == u'/') {
            break;
        }
        --i;
    }
    return sPath.mid(i);
}

QString GetFolderPath(QString sPath) {
    qsizetype i = sPath.size();
    while (i > 0 && sPath[i - 1] != u'\\') {
        --i;
    }
    return sPath.left(i);
}

}  // namespace DesktopPath
