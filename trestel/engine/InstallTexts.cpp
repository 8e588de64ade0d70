#include "InstallTexts.h"

#include <algorithm>

namespace InstallTexts {

namespace {

// n's digits grouped by threes with sSeparator, written backwards from the end of buffer; the
// text's start. 20 digits, 6 separators of at most 2 code units and a sign fit in 40.
constexpr int kGroupedMax = 40;

const char16_t* groupInto(char16_t (&buffer)[kGroupedMax], int64_t n, QStringView sSeparator) {
    char16_t* p = buffer + kGroupedMax;
    uint64_t nLeft = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    int nDigits = 0;
    do {
        if (nDigits > 0 && nDigits % 3 == 0 && sSeparator.size() <= 2) {
            p -= sSeparator.size();
            std::copy(sSeparator.utf16(), sSeparator.utf16() + sSeparator.size(), p);
        }
        *--p = static_cast<char16_t>(u'0' + nLeft % 10);
        nLeft /= 10;
        ++nDigits;
    } while (nLeft != 0);
    if (n < 0) {
        *--p = u'-';
    }
    return p;
}

}  // namespace

QString Grouped(int64_t n, const QLocale& locale) {
    char16_t buffer[kGroupedMax];
    const QString sSeparator = locale.groupSeparator();
    const char16_t* start = groupInto(buffer, n, sSeparator);
    return QString::fromUtf16(start, buffer + kGroupedMax - start);
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
    : sSeparator_(locale_.groupSeparator()),
      sSuffix_(QStringLiteral(" of ") + Grouped(nLength, locale_) +
               (pass == Pass::Copy ? QStringLiteral(" bytes copied")
                                   : QStringLiteral(" bytes checked"))) {}

// Once per block: one allocation, no locale lookups.
QString Progress::operator()(int64_t nDone) const {
    char16_t buffer[kGroupedMax];
    const char16_t* start = groupInto(buffer, nDone, sSeparator_);
    const auto nDigits = static_cast<qsizetype>(buffer + kGroupedMax - start);
    QString sText(nDigits + sSuffix_.size(), Qt::Uninitialized);
    std::copy(start, static_cast<const char16_t*>(buffer + kGroupedMax),
              reinterpret_cast<char16_t*>(sText.data()));
    std::copy(sSuffix_.cbegin(), sSuffix_.cend(), sText.data() + nDigits);
    return sText;
}

}  // namespace InstallTexts
