#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

#include <cstdlib>

#include "app/demo_data.h"
#include "app/icon.h"
#include "popover_support.h"

namespace quillon::testing {
namespace {

bool near(QRgb pixel, const QColor& want, int tolerance) {
    return std::abs(qRed(pixel) - want.red()) + std::abs(qGreen(pixel) - want.green()) +
               std::abs(qBlue(pixel) - want.blue()) <=
           tolerance;
}

int countNear(const QImage& image, const QColor& want, int tolerance, QRect area = {}) {
    if (area.isNull()) area = image.rect();
    area &= image.rect();
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += near(image.pixel(x, y), want, tolerance);
    return n;
}

QColor blend(const QColor& over, const QColor& under, double alpha) {
    return QColor::fromRgbF(static_cast<float>(over.redF() * alpha + under.redF() * (1 - alpha)),
                            static_cast<float>(over.greenF() * alpha + under.greenF() * (1 - alpha)),
                            static_cast<float>(over.blueF() * alpha + under.blueF() * (1 - alpha)));
}

class PicturesTest : public HomeTest {
  protected:
    QImage render(const std::vector<std::string>& options, const std::string& name = "panel.png") {
        const std::string path = home.path() + "/" + name;
        std::vector<std::string> args = {"--render", path};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult r = runQuillon(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        return QImage(QString::fromStdString(path));
    }
    QImage icon(const std::vector<std::string>& args) {
        const RunResult r = runQuillon(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        return QImage(QString::fromStdString(home.path() + "/icon.png"));
    }
    // Where the live panel, laid out the same way, puts a widget.
    QRect whereIs(const char* name) {
        app::Model model(currentInstant());
        app::applyDemo(model, currentInstant(), false, false);
        app::PopoverView view(model);
        QFont font = view.font();
        font.setPointSizeF(9.75); // the size pictures are drawn at
        view.setFont(font);
        fit(view);
        QWidget* w = view.findChild<QWidget*>(name);
        return w ? QRect(w->mapTo(&view, QPoint(0, 0)), w->size()) : QRect();
    }

    QApplication& gui = guiApp();
    app::Tones tones = app::tonesFor(QApplication::palette());
};

TEST_F(PicturesTest, demoRedShowsTwoRedCardsThatThePlainDemoLacks) {
    const QImage red = render({"--demo", "--demo-red"}, "red.png");
    const QImage plain = render({"--demo"}, "plain.png");
    ASSERT_FALSE(red.isNull());
    ASSERT_FALSE(plain.isNull());
    EXPECT_EQ(red.width(), app::PopoverView::width);
    EXPECT_GT(red.height(), plain.height() + 150);
    EXPECT_GT(plain.height(), 600);

    const QColor card = blend(tones.red, tones.window, 0.12);
    // Only the odd antialiased edge of orange text comes near the tint without the cards; two
    // cards of nearly the panel's width are tens of thousands of tinted pixels.
    EXPECT_LT(countNear(plain, card, 12), 2000);
    EXPECT_GT(countNear(red, card, 12), 2 * 300 * 60);
    // The left padding of the cards, straight down from the top: two tinted stretches.
    int stretches = 0, run = 0;
    for (int y = 0; y < red.height() / 2; ++y) {
        if (near(red.pixel(17, y), card, 12)) {
            ++run;
        } else {
            stretches += run >= 50;
            run = 0;
        }
    }
    EXPECT_EQ(stretches, 2);
}

TEST_F(PicturesTest, overBudgetFigureIsOrange) {
    const QRect figure = whereIs("todayFigure");
    ASSERT_FALSE(figure.isNull());
    const QImage within = render({"--demo"}, "within.png");
    EXPECT_EQ(countNear(within, tones.orange, 40, figure), 0);
    // The 905M day is over the 750M budget either way: its bar is orange.
    EXPECT_GT(countNear(within, tones.orange, 40), 200);

    home.write(".quillon/config.json", "{\"dailyBudget\": 100000000}");
    const QImage over = render({"--demo"}, "over.png");
    EXPECT_GT(countNear(over, tones.orange, 40, figure), 150);
}

TEST_F(PicturesTest, everyPictureIsThePanelsWidthWhateverTheDesktop) {
    const QImage week = render({"--demo"}, "week.png");
    const QImage month = render({"--demo", "--month"}, "month.png");
    const QImage settings = render({"--demo", "--settings"}, "settings.png");
    const QImage noLogs = render({}, "none.png");
    for (const QImage* image : {&week, &month, &settings, &noLogs}) {
        ASSERT_FALSE(image->isNull());
        EXPECT_EQ(image->width(), app::PopoverView::width);
    }
    // The month adds its totals line; the settings replace the report with a different height;
    // without logs the panel says so in orange.
    EXPECT_GT(month.height(), week.height());
    EXPECT_NE(settings.height(), week.height());
    EXPECT_GT(countNear(noLogs, tones.orange, 40), 30);

    // A display, a platform theme and a style of the desktop's own change nothing.
    const std::string path = home.path() + "/forced.png";
    const RunResult r = runQuillon({"--render", path, "--demo"}, "",
                                   {{"QT_QPA_PLATFORM", "xcb"},
                                    {"DISPLAY", ":97"},
                                    {"WAYLAND_DISPLAY", "\x01unset"},
                                    {"QT_QPA_PLATFORMTHEME", "gtk3"},
                                    {"QT_STYLE_OVERRIDE", "Windows"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(QImage(QString::fromStdString(path)).size(), week.size());
}

TEST_F(PicturesTest, aPictureThatCannotBeWrittenIsAFailure) {
    const RunResult r = runQuillon({"--render", home.path() + "/no/such/folder/x.png", "--demo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not write"), std::string::npos);
    const RunResult i = runQuillon({"--icon", home.path() + "/no/such/folder/x.png"});
    EXPECT_EQ(i.status, 1);
}

TEST_F(PicturesTest, iconTakesItsSizeFromTheLastArgumentAndDrawsTheOrangePlusOnBlack) {
    const std::string path = home.path() + "/icon.png";
    EXPECT_EQ(icon({"--icon", path}).size(), QSize(256, 256));
    EXPECT_EQ(icon({"--icon", path, "1024", "--tile"}).size(), QSize(256, 256));
    EXPECT_EQ(icon({"--icon", path, "--tile", "1024"}).size(), QSize(1024, 1024));

    const QColor orange = Icon::orange();
    EXPECT_EQ(orange, QColor::fromRgbF(0.851f, 0.467f, 0.341f));

    const QImage plain = icon({"--icon", path, "200"});
    ASSERT_EQ(plain.size(), QSize(200, 200));
    EXPECT_TRUE(plain.hasAlphaChannel());
    EXPECT_TRUE(near(plain.pixel(100, 100), orange, 3));   // centre of the plus
    EXPECT_TRUE(near(plain.pixel(100, 45), orange, 3));    // vertical bar: L = 120 from y = 40
    EXPECT_TRUE(near(plain.pixel(100, 15), Qt::black, 3)); // disc above the bar
    EXPECT_TRUE(near(plain.pixel(35, 35), Qt::black, 3));  // disc beside the plus
    EXPECT_EQ(qAlpha(plain.pixel(2, 2)), 0);               // outside the disc
    EXPECT_EQ(qAlpha(plain.pixel(100, 1)), 0);             // inset 0.02 x 200 = 4

    const QImage tile = icon({"--icon", path, "--tile", "256"});
    ASSERT_EQ(tile.size(), QSize(256, 256));
    EXPECT_EQ(qAlpha(tile.pixel(20, 128)), 0); // inset 25 px
    EXPECT_TRUE(near(tile.pixel(30, 128), Qt::black, 3));
    EXPECT_TRUE(near(tile.pixel(128, 128), orange, 3));
    EXPECT_TRUE(near(tile.pixel(128 + 55, 128), orange, 3)); // bar 117.76 long: reaches 186.9
    EXPECT_TRUE(near(tile.pixel(128 + 62, 128), Qt::black, 3));
    EXPECT_TRUE(near(tile.pixel(128, 128 + 50), orange, 3));         // vertical bar down to 186.9
    EXPECT_TRUE(near(tile.pixel(128 + 25, 128 + 25), Qt::black, 3)); // between the arms
    EXPECT_EQ(qAlpha(tile.pixel(27, 27)), 0);                        // rounded corner (radius 46.25)
}

} // namespace
} // namespace quillon::testing
