#pragma once

// How the installer's window looks on a Linux desktop: Tahoma where there is one (also Wine's
// copy, which fontconfig doesn't list), texts that fit their fixed boxes whatever font stands in,
// and fixed text colours that stay readable on light and dark palettes.

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QLabel;
class QPushButton;

namespace WindowLook {

// The window was laid out in twips; this many make a pixel at 96 dpi.
inline constexpr int kTwipsPerPixel = 15;

// The designed text colours of the window's labels, shown as ReadableTone against the window's
// background: navy for the title and the labels, dark red for the connect hint and a failure,
// green for a finished copy.
inline const QColor kNavy(0, 0, 128);
inline const QColor kDarkRed(192, 0, 0);
inline const QColor kGreen(0, 128, 0);

// The flood bar's colours, from the palette: the fill (and the letters beside it), the strip
// (and the letters on the fill), and its sunken frame's shadow and light edges.
inline constexpr QPalette::ColorRole kFloodFill = QPalette::Highlight;
inline constexpr QPalette::ColorRole kFloodStrip = QPalette::HighlightedText;
inline constexpr QPalette::ColorRole kFrameShadow = QPalette::Dark;
inline constexpr QPalette::ColorRole kFrameLight = QPalette::Light;

// Where Debian's fonts-wine puts its metric-compatible Tahoma.
inline constexpr const char* kWineFontFolder = "/usr/share/wine/fonts";

// Loads Tahoma from sFolder as application fonts when the font database has no Tahoma. Runs once
// per process; true when Tahoma is available afterwards.
bool LoadTahoma(const QString& sFolder = QString::fromLatin1(kWineFontFolder));

// The family at a pixel size (the designed 96 dpi sizes); an empty family means Tahoma, or a sans
// of similar build where it is missing.
QFont Font(const QString& sFamily, int nPixels, bool bBold);

// Gives the control its font at the largest pixel size, up to nDesigned, at which its text fits
// its box; a smaller size only where the font is wider than the one the box was made for.
void FitText(QLabel* label, int nDesigned);
void FitText(QPushButton* button, int nDesigned);
// Sets the label's text to sBefore + sName + sAfter, fitted as FitText does. A name that doesn't
// fit even at the smallest size is elided in its middle, keeping its ending, as far as needed; the
// whole text is then the label's tooltip (shown as plain text, whatever it looks like) and
// accessible name.
void FitTitle(QLabel* label, int nDesigned, const QString& sBefore, const QString& sName,
              const QString& sAfter);

// The contrast ratio of two colours (WCAG 2: 1 to 21).
double Contrast(const QColor& a, const QColor& b);
// The designed colour when it reaches kMinContrast against the background, else the nearest tone
// of its hue that does: darker on a light background, lighter on a dark one.
inline constexpr double kMinContrast = 4.5;
QColor ReadableTone(const QColor& designed, const QColor& background);

}  // namespace WindowLook
