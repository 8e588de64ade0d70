#pragma once

// Local file names as Linux gives them: bytes, usually UTF-8 but not always. A name is decoded so
// that bytes which are not UTF-8 survive the trip back: each such byte becomes one unpaired low
// surrogate (U+DC80 to U+DCFF), which valid UTF-8 never produces, and encodes back to that byte.
// QFile::decodeName turns them into U+FFFD and so loses the name.

#include <QByteArray>
#include <QString>

namespace LocalPath {

QString decode(const QByteArray& bytes);
QByteArray encode(const QString& sPath);
// The name as shown to the user and sent to the handheld: each undecodable byte as U+FFFD.
QString forDisplay(const QString& sPath);

}  // namespace LocalPath
