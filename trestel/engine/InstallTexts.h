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
// The message for a create that failed with the device's error code nCode.
QString CreateFailed(RAPI_DWORD nCode);
QString SourceUnreadable(const QString& sName, const QString& sSource);
QString SourceTooLarge(const QString& sName, const QString& sSource, int64_t nLength,
                       int64_t nLimit);

// "8,192 of 10,000 bytes copied": the total's part is built once per copy, the count's per block.
class Progress {
public:
    explicit Progress(int64_t nLength);
    QString operator()(int64_t nDone) const;

private:
    QLocale locale_;
    QString sSuffix_;
};

}  // namespace InstallTexts
