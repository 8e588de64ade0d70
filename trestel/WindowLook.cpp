#include "WindowLook.h"

#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QToolTip>
#include <algorithm>
#include <cmath>

namespace WindowLook {

namespace {

const QString kTahoma = QStringLiteral("Tahoma");
// Wine's Tahoma is drawn after Bitstream Vera Sans; DejaVu Sans Condensed is of the same design
// and width, with a true bold face.
const QString kBoldFamily = QStringLiteral("DejaVu Sans");
const QString kBoldStyle = QStringLiteral("Condensed Bold");
bool g_wineTahoma = false;
// Below this the text would no longer be readable; it is the smallest size the window uses.
constexpr int kMinPixels = 9;

// Shows its widget's tooltip as the plain text it is: Qt would draw a tooltip that looks like
// markup (a module named "<font size=7>...") as rich text.
class PlainToolTip final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() != QEvent::ToolTip || widget == nullptr || widget->toolTip().isEmpty()) {
            return false;
        }
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(),
                           Qt::convertFromPlainText(widget->toolTip()), widget);
        return true;
    }
};

bool TextFits(const QLabel* label, const QFont& font, const QString& sText) {
    const QRect box = label->contentsRect();
    const int flags =
        static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
    const QRect needed = QFontMetrics(font).boundingRect(box, flags, sText);
    return box.contains(needed);
}

bool LabelFits(const QLabel* label, const QFont& font) {
    return TextFits(label, font, label->text());
}

bool ButtonFits(const QPushButton* button, const QFont& font) {
    // The text and, around it, the style's button margin and frame on each side.
    const QStyle* style = button->style();
    const int nAround = 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                             style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
    const QSize text = QFontMetrics(font).size(Qt::TextShowMnemonic, button->text());
    return text.width() + nAround <= button->width() && text.height() <= button->height();
}

template <typename W, typename Fits>
void Fit(W* widget, int nDesigned, Fits fits) {
    QFont font = widget->font();
    int nPixels = nDesigned;
    font.setPixelSize(nPixels);
    while (nPixels > kMinPixels && !fits(widget, font)) {
        font.setPixelSize(--nPixels);
    }
    widget->setFont(font);
}

double Luminance(const QColor& c) {
    const auto channel = [](float v) {
        return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

}  // namespace

bool LoadTahoma(const QString& sFolder) {
    static const bool bLoaded = [&] {
        if (QFontDatabase::hasFamily(kTahoma)) {
            return true;
        }
        // The regular face only: Wine's tahomabd.ttf repeats the regular face's strokes (only
        // wider), so bold would not read as bold. See Font for the bold texts.
        QFontDatabase::addApplicationFont(QDir(sFolder).filePath(QStringLiteral("tahoma.ttf")));
        g_wineTahoma = QFontDatabase::hasFamily(kTahoma);
        return g_wineTahoma;
    }();
    return bLoaded;
}

QFont Font(const QString& sFamily, int nPixels, bool bBold) {
    static const bool bSubstituted = [] {
        QFont::insertSubstitutions(kTahoma,
                                   {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                    QStringLiteral("Nimbus Sans"), QStringLiteral("Nimbus Sans L"),
                                    QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)bSubstituted;
    QFont f(sFamily.isEmpty() ? kTahoma : sFamily);
    // Bold next to Wine's Tahoma: the true bold of its design where installed. Otherwise FreeType
    // emboldens the regular face, which reads as bold at scale 1 but faintly at higher scales.
    if (sFamily.isEmpty() && bBold && g_wineTahoma &&
        QFontDatabase::styles(kBoldFamily).contains(kBoldStyle)) {
        f = QFont(kBoldFamily);
        f.setStretch(QFont::Condensed);
    }
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(nPixels);
    f.setBold(bBold);
    return f;
}

void FitText(QLabel* label, int nDesigned) {
    Fit(label, nDesigned, LabelFits);
}

void FitText(QPushButton* button, int nDesigned) {
    Fit(button, nDesigned, ButtonFits);
}

void FitTitle(QLabel* label, int nDesigned, const QString& sBefore, const QString& sName,
              const QString& sAfter) {
    const QString sWhole = sBefore + sName + sAfter;
    label->setText(sWhole);
    FitText(label, nDesigned);
    if (LabelFits(label, label->font())) {
        label->setToolTip(QString());
        label->setAccessibleName(QString());
        return;
    }
    // The widest middle elision of the name that fits: the beginning and, more important for
    // telling modules apart, the ending with its date and extension.
    const QFontMetrics metrics(label->font());
    const auto elided = [&](int nWidth) {
        return sBefore + metrics.elidedText(sName, Qt::ElideMiddle, nWidth) + sAfter;
    };
    int nLow = 0;
    int nHigh = metrics.horizontalAdvance(sName);
    while (nLow < nHigh) {
        const int nMiddle = nLow + (nHigh - nLow + 1) / 2;
        if (TextFits(label, label->font(), elided(nMiddle))) {
            nLow = nMiddle;
        } else {
            nHigh = nMiddle - 1;
        }
    }
    if (label->findChild<PlainToolTip*>(QString(), Qt::FindDirectChildrenOnly) == nullptr) {
        label->installEventFilter(new PlainToolTip(label));
    }
    label->setToolTip(sWhole);
    label->setAccessibleName(sWhole);
    label->setText(elided(nLow));
}

double Contrast(const QColor& a, const QColor& b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableTone(const QColor& designed, const QColor& background) {
    if (Contrast(designed, background) >= kMinContrast) {
        return designed;
    }
    // Move the lightness away from the background's, keeping hue and saturation.
    const bool bDarkBackground = Luminance(background) < 0.18;
    const QColor hsl = designed.toHsl();
    const float fHue = hsl.hslHueF();
    const float fSaturation = hsl.hslSaturationF();
    float fLightness = hsl.lightnessF();
    QColor tone = designed;
    for (int i = 0; i < 100 && Contrast(tone, background) < kMinContrast; ++i) {
        fLightness = std::clamp(fLightness + (bDarkBackground ? 0.01f : -0.01f), 0.0f, 1.0f);
        tone = QColor::fromHslF(fHue, fSaturation, fLightness).toRgb();
    }
    return tone;
}

}  // namespace WindowLook
