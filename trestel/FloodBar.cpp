#include "FloodBar.h"

#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <limits>

#include "WindowLook.h"

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

// The bar as assistive technology sees it: a progress bar whose value is the fill and whose value
// text is the message.
class FloodBarAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit FloodBarAccessible(FloodBar* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Value ? bar()->Message() : QAccessibleWidget::text(type);
    }
    QVariant currentValue() const override { return bar()->Value(); }
    void setCurrentValue(const QVariant&) override {}  // read-only
    QVariant maximumValue() const override { return bar()->ScaleWidth(); }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    const FloodBar* bar() const { return static_cast<const FloodBar*>(widget()); }
};

QAccessibleInterface* MakeAccessible(const QString& sClassName, QObject* object) {
    if (sClassName == QLatin1String("FloodBar") && object != nullptr && object->isWidgetType()) {
        return new FloodBarAccessible(static_cast<FloodBar*>(object));
    }
    return nullptr;
}

}  // namespace

FloodBar::FloodBar(QWidget* parent) : QWidget(parent) {
    static const bool bFactory = [] {
        QAccessible::installFactory(MakeAccessible);
        return true;
    }();
    (void)bFactory;
    setFixedSize(345, 25);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    picture_ = QImage(InsideRect().size(), QImage::Format_ARGB32_Premultiplied);
    // Until the first FloodInit the scale is the inside width in twips.
    fScaleWidth_ = static_cast<float>(picture_.width() * WindowLook::kTwipsPerPixel);
    UpdateFont();
    Clear();
    hide();
}

void FloodBar::UpdateFont() {
    messageFont_ = font();
    // Unantialiased glyphs: every pixel of a letter is exactly the pen colour.
    messageFont_.setStyleStrategy(QFont::NoAntialias);
    const QFontMetricsF metrics(messageFont_);
    lineHeight_ = metrics.height();
    ascent_ = metrics.ascent();
    rawFont_ = QRawFont::fromFont(messageFont_);
    glyphs_.clear();
}

bool FloodBar::LayOutQuickly(const QString& sMessage, QGlyphRun& run, qreal& width) {
    if (!rawFont_.isValid()) {
        return false;
    }
    QList<quint32> indexes;
    QList<QPointF> positions;
    indexes.reserve(sMessage.size());
    positions.reserve(sMessage.size());
    qreal x = 0;
    for (const QChar ch : sMessage) {
        // Latin letters, digits and punctuation need no shaping; others go the long way.
        if (ch.unicode() < 0x20 || ch.unicode() > 0x24F) {
            return false;
        }
        auto it = glyphs_.constFind(ch.unicode());
        if (it == glyphs_.constEnd()) {
            const QList<quint32> found = rawFont_.glyphIndexesForString(QString(ch));
            if (found.size() != 1 || found.first() == 0) {
                return false;  // not in this font: let the shaper find a fallback font
            }
            const QList<QPointF> advance = rawFont_.advancesForGlyphIndexes(found);
            // Whole-pixel advances, as hinted text is laid out: even spacing of the digits.
            it =
                glyphs_.insert(ch.unicode(), Glyph{found.first(), std::round(advance.first().x())});
        }
        indexes.append(it->index);
        positions.append(QPointF(x, 0));
        x += it->advance;
    }
    run.setRawFont(rawFont_);
    run.setGlyphIndexes(indexes);
    run.setPositions(positions);
    width = x;
    return true;
}

void FloodBar::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        UpdateFont();
    }
    QWidget::changeEvent(event);
}

QRect FloodBar::InsideRect() const {
    return rect().adjusted(kFrame, kFrame, -kFrame, -kFrame);
}

QColor FloodBar::ForeColor() const {
    return palette().color(QPalette::Active, WindowLook::kFloodFill);
}

QColor FloodBar::BackColor() const {
    return palette().color(QPalette::Active, WindowLook::kFloodStrip);
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
    nValue_ = 0;
    sMessage_.clear();
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
    // Laid out once: its width gives the centring, and it is drawn as laid out. Plain messages
    // (the copy's byte counts) take the quick path over cached glyphs; anything else is shaped.
    QGlyphRun run;
    qreal textWidth = 0;
    QStaticText text;
    const bool bQuick = LayOutQuickly(sMessage, run, textWidth);
    if (!bQuick) {
        text.setText(sMessage);
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), messageFont_);
        textWidth = text.size().width();
    }

    // Horizontal position in scale units, vertical in twips.
    const float fTextWidth =
        static_cast<float>(textWidth) * fScaleWidth_ / static_cast<float>(nWidth);
    const float fX = flood::CentredStart(fScaleWidth_, fTextWidth);
    const float fTextHeight = static_cast<float>(lineHeight_) * WindowLook::kTwipsPerPixel;
    const float fY =
        flood::CentredStart(static_cast<float>(nHeight * WindowLook::kTwipsPerPixel), fTextHeight);

    const int nTextX = flood::UnitsToPixels(fX, fScaleWidth_, nWidth);
    const int nTextY = static_cast<int>(std::lround(fY / WindowLook::kTwipsPerPixel));
    const int nFill = std::clamp(flood::UnitsToPixels(nValue, fScaleWidth_, nWidth), 0, nWidth);

    {
        QPainter painter(&picture_);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setFont(messageFont_);
        painter.setPen(ForeColor());
        if (bQuick) {
            painter.drawGlyphRun(QPointF(nTextX, nTextY + ascent_), run);
        } else {
            painter.drawStaticText(QPointF(nTextX, nTextY), text);
        }
    }

    // The fill inverts the two colours under it, as a not-xor pen does on a white back colour:
    // the background becomes the fill colour and the letters become the back colour. The text is
    // unantialiased, so every pixel is one of the two and the result has no fringes.
    const QRgb fore = ForeColor().rgb();
    const QRgb back = BackColor().rgb();
    for (int y = 0; y < nHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture_.scanLine(y));
        for (int x = 0; x < nFill; ++x) {
            line[x] = line[x] == fore ? back : fore;
        }
    }

    nValue_ = nValue;
    sMessage_ = sMessage;
    if (QAccessible::isActive()) {  // only when assistive technology listens: this runs per block
        QAccessibleValueChangeEvent changed(this, nValue);
        QAccessible::updateAccessibility(&changed);
    }

    repaint(InsideRect());
    QCoreApplication::processEvents();
}

void FloodBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect r = rect();
    // A thin sunken frame.
    painter.setPen(palette().color(WindowLook::kFrameShadow));
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(palette().color(WindowLook::kFrameLight));
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
    painter.drawImage(InsideRect().topLeft(), picture_);
}
