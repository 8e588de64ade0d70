#include "InstallTexts.h"

namespace InstallTexts {

QString Grouped(int64_t n, const QLocale& locale) {
    const QString sDigits = QString::number(n < 0 ? -n : n);
    QString sOut;
    sOut.reserve(sDigits.size() + sDigits.size() / 3 + 1);
    if (n < 0) {
        sOut += QLatin1Char('-');
    }
    const QString sSeparator = locale.groupSeparator();
    for (qsizetype i = 0; i < sDigits.size(); ++i) {
        if (i > 0 && (sDigits.size() - i) % 3 == 0) {
            sOut += sSeparator;
        }
        sOut += sDigits[i];
    }
    return sOut;
}

QString Completed(const QString& sName) {
    return QStringLiteral("Installation of ") + sName + QStringLiteral(" is completed.");
}

QString WriteFailed(const QString& sName, int64_t nLength) {
    return QStringLiteral("Installation of ") + sName +
           QStringLiteral(
               " has failed!  An error occurred during installation.  Make sure there "
               "is enough memory to accommodate a file that is ") +
           Grouped(nLength) + QStringLiteral(" bytes.");
}

QString LinkLost(const QString& sName) {
    return QStringLiteral("Installation of ") + sName +
           QStringLiteral(
               " has failed!  The connection to the handheld was lost during the "
               "copy.  Make sure the handheld is attached, then connect and copy "
               "again.");
}

QString CreateFailed(RAPI_DWORD nCode) {
    switch (nCode) {
        case ERROR_PATH_NOT_FOUND:
            return QStringLiteral("The system cannot find the path specified.");
        case ERROR_WRITE_PROTECT:
            return QStringLiteral("The media is write protected.");
        case ERROR_DISK_FULL:
            return QStringLiteral("There is not enough space on the disk.");
        default:
            return QStringLiteral("An unknown error occurred.");
    }
}

QString SourceUnreadable(const QString& sName, const QString& sSource) {
    return QStringLiteral("Installation of ") + sName + QStringLiteral(" has failed!  The file ") +
           sSource + QStringLiteral(" cannot be opened or read.");
}

QString SourceTooLarge(const QString& sName, const QString& sSource, int64_t nLength,
                       int64_t nLimit) {
    return QStringLiteral("Installation of ") + sName + QStringLiteral(" has failed!  The file ") +
           sSource + QStringLiteral(" is ") + Grouped(nLength) +
           QStringLiteral(" bytes long; files of ") + Grouped(nLimit) +
           QStringLiteral(" bytes or more cannot be installed.");
}

Progress::Progress(int64_t nLength, Pass pass)
    : sSuffix_(QStringLiteral(" of ") + Grouped(nLength, locale_) +
               (pass == Pass::Copy ? QStringLiteral(" bytes copied")
                                   : QStringLiteral(" bytes checked"))) {}

QString Progress::operator()(int64_t nDone) const {
    return Grouped(nDone, locale_) + sSuffix_;
}

}  // namespace InstallTexts
