// The flood bar's arithmetic and pixels: the fill, the two-colour letters, the centring and the
// early return for values above the scale.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>

#include "FloodBar.h"

namespace {

// Counts the events delivered to it.
class EventCounter : public QObject {
public:
    int count = 0;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            ++count;
            return true;
        }
        return QObject::event(e);
    }
};

class FloodBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        bar.resize(345, 25);
        fore = bar.ForeColor().rgb();
        back = bar.BackColor().rgb();
        ASSERT_NE(fore, back);
    }

    // The letter pixels of a message as the bar draws it with no fill.
    QImage LetterMask(int16_t nMax, const QString& message) {
        FloodBar plain;
        plain.FloodInit(nMax);
        plain.FloodUpdate(0, message);
        return plain.Picture().copy();
    }

    // The number of pixels of the given colour.
    static int Count(const QImage& image, QRgb colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                n += image.pixel(x, y) == colour;
            }
        }
        return n;
    }

    int FilledColumns(const QImage& image, const QImage& mask) {
        // The first column that has a pixel which is neither fill nor white letter.
        for (int x = 0; x < image.width(); ++x) {
            for (int y = 0; y < image.height(); ++y) {
                const bool letter = mask.pixel(x, y) == fore;
                if (image.pixel(x, y) != (letter ? back : fore)) {
                    return x;
                }
            }
        }
        return image.width();
    }

    FloodBar bar;
    QRgb fore = 0;
    QRgb back = 0;
};

TEST(FloodArithmetic, CentringRoundsHalvesToEvenThenTruncates) {
    EXPECT_EQ(flood::RoundHalfEven(6.5f), 6.0f);
    EXPECT_EQ(flood::RoundHalfEven(7.5f), 8.0f);
    EXPECT_EQ(flood::RoundHalfEven(0.5f), 0.0f);
    EXPECT_EQ(flood::RoundHalfEven(-2.5f), -2.0f);
    EXPECT_EQ(flood::RoundHalfEven(2.6f), 3.0f);

    EXPECT_EQ(flood::CentredStart(10.0f, 3.5f), 3.0f);  // 6.5 -> 6 -> 3
    EXPECT_EQ(flood::CentredStart(10.0f, 2.5f), 4.0f);  // 7.5 -> 8 -> 4
    EXPECT_EQ(flood::CentredStart(10.0f, 3.0f), 3.0f);  // 7 -> 3 (truncated)
    EXPECT_EQ(flood::CentredStart(1.0f, 0.9f), 0.0f);   // one unit: always the left edge
    // A message wider than the bar starts left of it, truncated toward zero.
    EXPECT_EQ(flood::CentredStart(10.0f, 17.0f), -3.0f);
    EXPECT_EQ(flood::CentredStart(10.0f, 15.5f), -3.0f);  // -5.5 -> -6 -> -3

    EXPECT_EQ(flood::UnitsToPixels(5.0f, 10.0f, 340), 170);
    EXPECT_EQ(flood::UnitsToPixels(10.0f, 10.0f, 343), 343);
    EXPECT_EQ(flood::UnitsToPixels(3.0f, 0.0f, 343), 0);
}

TEST_F(FloodBarTest, HiddenUntilInitAndDrawsInsideItsFrame) {
    EXPECT_TRUE(bar.isHidden());
    EXPECT_EQ(bar.Picture().size(), bar.InsideRect().size());
    // Before any FloodInit the scale is the inside width in twips.
    EXPECT_EQ(bar.ScaleWidth(), bar.InsideRect().width() * 15.0f);
    bar.FloodInit(10);
    EXPECT_FALSE(bar.isHidden());
    EXPECT_EQ(bar.ScaleWidth(), 10.0f);
}

TEST_F(FloodBarTest, HalfValueFillsExactlyTheLeftHalfAndFullValueAll) {
    const QString message = QStringLiteral("40,960 of 81,920 bytes copied");
    const QImage mask = LetterMask(10, message);
    bar.FloodInit(10);
    bar.FloodUpdate(5, message);
    const QImage& image = bar.Picture();
    const int width = image.width();
    const int half = flood::UnitsToPixels(5.0f, 10.0f, width);
    EXPECT_LE(std::abs(half * 2 - width), 1);

    int lettersLeft = 0;
    int lettersRight = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = image.pixel(x, y);
            const QRgb letter = mask.pixel(x, y);
            ASSERT_TRUE(letter == fore || letter == back) << "antialiased letter pixel";
            const bool isLetter = letter == fore;
            if (x < half) {
                // Under the fill: fill in the fore colour, letters exactly in the back colour.
                ASSERT_EQ(pixel, isLetter ? back : fore) << x << "," << y;
                lettersLeft += isLetter;
            } else {
                ASSERT_EQ(pixel, isLetter ? fore : back) << x << "," << y;
                lettersRight += isLetter;
            }
        }
    }
    EXPECT_GT(lettersLeft, 20) << "the message reaches into the fill";
    EXPECT_GT(lettersRight, 20) << "the message reaches past the fill";
    EXPECT_EQ(FilledColumns(image, mask), half);

    // The full value fills everything and every letter is white.
    bar.FloodUpdate(10, message);
    EXPECT_EQ(FilledColumns(bar.Picture(), mask), width);
}

TEST_F(FloodBarTest, MessageIsCentredInWholeUnits) {
    const QString message = QStringLiteral("8,192 of 10,000 bytes copied");
    bar.FloodInit(10);
    bar.FloodUpdate(0, message);
    const QImage& image = bar.Picture();
    const int width = image.width();

    QFont font = bar.MessageFont();
    const QFontMetricsF metrics(font);
    const float textUnits = static_cast<float>(metrics.horizontalAdvance(message)) * 10.0f / width;
    const float x = flood::CentredStart(10.0f, textUnits);
    const int expectedLeft = flood::UnitsToPixels(x, 10.0f, width);

    int left = width;
    int right = -1;
    int top = image.height();
    int bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int px = 0; px < width; ++px) {
            if (image.pixel(px, y) == fore) {
                left = std::min(left, px);
                right = std::max(right, px);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    ASSERT_GE(right, 0) << "the message is drawn";
    // The first glyph starts at the computed position (give its side bearing two pixels).
    EXPECT_GE(left, expectedLeft);
    EXPECT_LE(left, expectedLeft + 2);
    // Whole units of 34 pixels: the text is centred to within one unit.
    const int unit = width / 10;
    EXPECT_LE(std::abs((left + right) - width), unit + 4);
    // Vertically the letters sit roughly centred.
    EXPECT_LE(std::abs((top + bottom) - image.height()), 8);
}

TEST_F(FloodBarTest, ValueAboveTheScaleChangesNothingAndHandlesNoEvents) {
    bar.FloodInit(10);
    bar.FloodUpdate(3, QStringLiteral("before"));
    const QImage before = bar.Picture().copy();

    EventCounter counter;
    QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
    bar.FloodUpdate(11, QStringLiteral("something else entirely"));
    EXPECT_EQ(bar.Picture(), before);
    EXPECT_EQ(counter.count, 0) << "no pending events handled";

    // An update within the scale handles them.
    bar.FloodUpdate(10, QStringLiteral("after"));
    EXPECT_EQ(counter.count, 1);
    EXPECT_NE(bar.Picture(), before);
}

TEST_F(FloodBarTest, ZeroScaleKeepsThePreviousScaleAndShowsTheMessageUnfilled) {
    bar.FloodInit(10);
    bar.FloodUpdate(10, QStringLiteral("full"));
    bar.hide();

    bar.FloodInit(0);
    EXPECT_EQ(bar.ScaleWidth(), 10.0f);
    EXPECT_FALSE(bar.isHidden());
    // Cleared: a second copy starts from an empty bar.
    const QImage& image = bar.Picture();
    const int all = image.width() * image.height();
    EXPECT_EQ(Count(image, back), all);

    // No fill: only letters in the fore colour on the background.
    const QString message = QStringLiteral("0 of 0 bytes copied");
    bar.FloodUpdate(0, message);
    const int letters = Count(image, fore);
    EXPECT_EQ(letters + Count(image, back), all);
    EXPECT_GT(letters, 20);
    EXPECT_LT(letters, image.width() * image.height() / 4);

    // A fresh bar's zero scale is never zero either.
    FloodBar fresh;
    fresh.FloodInit(0);
    EXPECT_GT(fresh.ScaleWidth(), 0.0f);
    fresh.FloodUpdate(0, message);
}

TEST_F(FloodBarTest, ShowsItsPictureOnScreen) {
    bar.FloodInit(4);
    bar.FloodUpdate(1, QStringLiteral("4,096 of 16,384 bytes copied"));
    const QImage shown = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect inside = bar.InsideRect();
    EXPECT_EQ(shown.copy(inside), bar.Picture().convertToFormat(QImage::Format_RGB32));
}

TEST_F(FloodBarTest, NegativeOrHugeValuesStayWithinTheBar) {
    bar.FloodInit(10);
    bar.FloodUpdate(-5, QStringLiteral("x"));
    EXPECT_EQ(bar.Picture().pixel(0, 0), back);
    bar.FloodInit(32767);
    bar.FloodUpdate(32767,
                    QStringLiteral("A message far wider than the bar itself can show at all"));
    EXPECT_EQ(bar.Picture().pixel(0, 0), fore);
}

}  // namespace
