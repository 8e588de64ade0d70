#pragma once

// The flood bar: a strip that fills from the left in the highlight colour with a one-line message
// centred on it; the letters read in the highlighted-text colour where the fill covers them and
// in the highlight colour elsewhere. The current picture is kept in an image and painted from it.

#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QRawFont>
#include <QString>
#include <QWidget>
#include <cstdint>

namespace flood {

// Rounds to the nearest whole number; halves go to the even neighbour (6.5 -> 6, 7.5 -> 8).
float RoundHalfEven(float fValue);

// Where an item of the given extent starts when centred in a span (both in the same units): the
// difference is rounded half-to-even, then halved as an integer with truncation toward zero.
float CentredStart(float fSpan, float fExtent);

// A position in scale units converted to whole pixels on an inside width of nPixels that spans
// fScale units.
int UnitsToPixels(float fUnits, float fScale, int nPixels);

}  // namespace flood

class FloodBar : public QWidget {
    Q_OBJECT
public:
    explicit FloodBar(QWidget* parent = nullptr);

    // Sets the horizontal scale to nMax units (a scale of zero or less keeps the previous one),
    // clears the bar and shows it.
    void FloodInit(int16_t nMax);
    // Redraws the bar: cleared, sMessage centred, filled from the left to nValue. Then repaints at
    // once and handles the pending events. A value above the scale is ignored entirely.
    void FloodUpdate(int16_t nValue, const QString& sMessage);

    float ScaleWidth() const { return fScaleWidth_; }
    // The last value and message drawn (0 and empty after FloodInit); assistive technology reads
    // them as the progress bar's value and value text.
    int16_t Value() const { return nValue_; }
    const QString& Message() const { return sMessage_; }
    // The drawing area inside the frame, in widget coordinates.
    QRect InsideRect() const;
    // The current picture of the inside area.
    const QImage& Picture() const { return picture_; }
    QColor ForeColor() const;
    QColor BackColor() const;
    // The font the message is drawn in: the widget's font without antialiasing.
    const QFont& MessageFont() const { return messageFont_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Clear();
    void UpdateFont();
    // Lays out a message from cached glyphs; false when it needs the full text shaper.
    bool LayOutQuickly(const QString& sMessage, QGlyphRun& run, qreal& width);

    struct Glyph {
        quint32 index;
        qreal advance;
    };
    QRawFont rawFont_;
    QHash<char16_t, Glyph> glyphs_;
    qreal ascent_ = 0;

    QFont messageFont_;
    qreal lineHeight_ = 0;
    QImage picture_;
    float fScaleWidth_;
    int16_t nValue_ = 0;
    QString sMessage_;
};
