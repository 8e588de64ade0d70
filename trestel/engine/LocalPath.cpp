#include "LocalPath.h"

namespace LocalPath {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(char16_t c) {
    return c >= 0xDC80 && c <= 0xDCFF;
}

// The length of the valid UTF-8 sequence at bytes[i], or 0 when none starts there.
int sequenceLength(const QByteArray& bytes, qsizetype i, char32_t& code) {
    const auto byte = [&](qsizetype k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(i);
    int nLength = 0;
    char32_t nMin = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        nLength = 2, code = lead & 0x1F, nMin = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        nLength = 3, code = lead & 0x0F, nMin = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        nLength = 4, code = lead & 0x07, nMin = 0x10000;
    } else {
        return 0;
    }
    if (i + nLength > bytes.size()) {
        return 0;
    }
    for (int k = 1; k < nLength; ++k) {
        const unsigned char next = byte(i + k);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, encoded surrogates and code points past Unicode are not UTF-8.
    if (code < nMin || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return nLength;
}

}  // namespace

QString decode(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        char32_t code = 0;
        const int nLength = sequenceLength(bytes, i, code);
        if (nLength == 0) {
            out += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i])));
            ++i;
            continue;
        }
        out += QString::fromUcs4(&code, 1);
        i += nLength;
    }
    return out;
}

QByteArray encode(const QString& sPath) {
    QByteArray out;
    out.reserve(sPath.size());
    qsizetype nRunStart = 0;
    // Runs without escapes go through Qt's encoder; each escape becomes its byte.
    for (qsizetype i = 0; i <= sPath.size(); ++i) {
        const bool bEnd = i == sPath.size();
        const bool bLoneEscape =
            !bEnd && isEscape(sPath[i].unicode()) && (i == 0 || !sPath[i - 1].isHighSurrogate());
        if (bEnd || bLoneEscape) {
            out += sPath.mid(nRunStart, i - nRunStart).toUtf8();
            if (bLoneEscape) {
                out += static_cast<char>(sPath[i].unicode() - kEscapeBase);
            }
            nRunStart = i + 1;
        }
    }
    return out;
}

QString forDisplay(const QString& sPath) {
    QString out = sPath;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (isEscape(out[i].unicode()) && (i == 0 || !out[i - 1].isHighSurrogate())) {
            out[i] = QChar::ReplacementCharacter;
        }
    }
    return out;
}

}  // namespace LocalPath
