#pragma once

// Every text the install engine tells its user, in one place: the outcome of a copy and the
// progress line. Byte counts are grouped by threes with the locale's separator ("###,###,##0").

#include <QLocale>
#include <QString>
#include <cstdint>

#include "rapi.h"

namespace InstallTexts {

// n with its digits in groups of three, whatever grouping the locale itself would use.
QString Grouped(int64_t n, const QLocale& locale = QLocale());

QString Completed(const QString& sName);
// A write that the handheld refused, or a copy that could not be completed there.
QString WriteFailed(const QString& sName, int64_t nLength);
// The link to the handheld was lost (a transport failure, not one the device reported).
QString LinkLost(const QString& sName);
// The message for a create that failed with the device's error code nCode.
QString CreateFailed(RAPI_DWORD nCode);
QString SourceUnreadable(const QString& sName, const QString& sSource);
QString SourceTooLarge(const QString& sName, const QString& sSource, int64_t nLength,
                       int64_t nLimit);

// The two passes over a module: the copy, then the read-back that checks it.
enum class Pass { Copy, Check };

// "8,192 of 10,000 bytes copied" (or "checked"): the total's part is built once per pass, the
// count's per block.
class Progress {
public:
    Progress(int64_t nLength, Pass pass);
    QString operator()(int64_t nDone) const;

private:
    QLocale locale_;
    QString sSeparator_;
    QString sSuffix_;
};

}  // namespace InstallTexts
