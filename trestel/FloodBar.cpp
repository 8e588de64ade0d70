#include "FloodBar.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

namespace flood {

float RoundHalfEven(float fValue) {
    // The default floating-point rounding mode rounds halves to the even neighbour.
    return std::nearbyint(fValue);
}

float CentredStart(float fSpan, float fExtent) {
    const float fRounded = RoundHalfEven(fSpan - fExtent);
    constexpr float kLimit = static_cast<float>(std::numeric_limits<int32_t>::max() / 2);
    if (!std::isfinite(fRounded)) {
        return 0.0f;
    }
    const auto nDifference = static_cast<int32_t>(std::clamp(fRounded, -kLimit, kLimit));
    return static_cast<float>(nDifference / 2);  // integer division truncates toward zero
}

int UnitsToPixels(float fUnits, float fScale, int nPixels) {
    if (fScale <= 0.0f) {
        return 0;
    }
    const double dPixels = static_cast<double>(fUnits) * nPixels / fScale;
    return static_cast<int>(std::lround(std::clamp(dPixels, -1e6, 1e6)));
}

}  // namespace flood

namespace {
constexpr int kFrame = 1;
}

FloodBar::FloodBar(QWidget* parent) : QWidget(parent) {
    setFixedSize(345, 25);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    picture_ = QImage(InsideRect().size(), QImage::Format_RGB32);
    // Until the first FloodInit the scale is the inside width in twips.
    fScaleWidth_ = static_cast<float>(picture_.width() * flood::kTwipsPerPixel);
    Clear();
    hide();
}

QRect FloodBar::InsideRect() const {
    return rect().adjusted(kFrame, kFrame, -kFrame, -kFrame);
}

QColor FloodBar::ForeColor() const {
    return palette().color(QPalette::Active, QPalette::Highlight);
}

QColor FloodBar::BackColor() const {
    return palette().color(QPalette::Active, QPalette::HighlightedText);
}

QFont FloodBar::MessageFont() const {
    QFont f = font();
    // Unantialiased glyphs: every pixel of a letter is exactly the pen colour.
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

void FloodBar::Clear() {
    picture_.fill(BackColor());
}

void FloodBar::FloodInit(int16_t nMax) {
    // A scale of zero width would divide every position by zero; keep the previous one then.
    if (nMax > 0) {
        fScaleWidth_ = static_cast<float>(nMax);
    }
    Clear();
    show();
    update();
}

void FloodBar::FloodUpdate(int16_t nValue, const QString& sMessage) {
    if (static_cast<float>(nValue) > fScaleWidth_) {
        return;
    }
    Clear();

    const int nWidth = picture_.width();
    const int nHeight = picture_.height();
    const QFont f = MessageFont();
    const QFontMetricsF metrics(f);

    // Horizontal position in scale units, vertical in twips.
    const float fTextWidth =
        static_cast<float>(metrics.horizontalAdvance(sMessage)) * fScaleWidth_ / nWidth;
    const float fX = flood::CentredStart(fScaleWidth_, fTextWidth);
    const float fTextHeight = static_cast<float>(metrics.height()) * flood::kTwipsPerPixel;
    const float fY =
        flood::CentredStart(static_cast<float>(nHeight * flood::kTwipsPerPixel), fTextHeight);

    const int nTextX = flood::UnitsToPixels(fX, fScaleWidth_, nWidth);
    const int nTextY = static_cast<int>(std::lround(fY / flood::kTwipsPerPixel));
    const int nFill = std::clamp(flood::UnitsToPixels(nValue, fScaleWidth_, nWidth), 0, nWidth);
    const QPointF baseline(nTextX, nTextY + metrics.ascent());

    QPainter painter(&picture_);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setFont(f);

    // Outside the fill: highlight letters on the back colour.
    painter.setClipRect(QRect(nFill, 0, nWidth - nFill, nHeight));
    painter.setPen(ForeColor());
    painter.drawText(baseline, sMessage);

    // Under the fill: the fill in the highlight colour, letters in the back colour.
    if (nFill > 0) {
        const QRect filled(0, 0, nFill, nHeight);
        painter.setClipRect(filled);
        painter.fillRect(filled, ForeColor());
        painter.setPen(BackColor());
        painter.drawText(baseline, sMessage);
    }
    painter.end();

    repaint();
    QCoreApplication::processEvents();
}

void FloodBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect r = rect();
    // A thin sunken frame.
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
    painter.drawImage(InsideRect().topLeft(), picture_);
}
