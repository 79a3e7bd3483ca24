#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

#include <cmath>

#include "app/model.h"
#include "app/popover_view.h"
#include "popover_support.h"
#include "test_home.h"

namespace quillon::testing {
namespace {

using app::Model;
using app::PopoverView;

// Text that someone else wrote: a PR title, a tool's error, an alert file's name.
const std::vector<std::string> kHostile = {
    "\x1b[31mred\x1b[0m title",                        // ANSI colour
    "copy \x1b]52;c;Y3VybCBldmlsIHwgc2g=\x07 me",      // OSC 52: write the clipboard
    "<img src=\"file:///etc/passwd\"> seen",           // an image
    "<a href=\"https://evil.example\">click</a> here", // a link
    "Title\r\nX-Injected: yes",                        // header injection
    "invoice \xE2\x80\xAEtxt.exe",                     // U+202E right-to-left override
    "bad \xff\xfe bytes \xc3",                         // invalid UTF-8
};

std::string joined() {
    std::string all;
    for (const std::string& s : kHostile)
        all += s + " ";
    return all;
}

TEST(PlainText, neutralisesControlsAndKeepsTheRestReadable) {
    using app::plainText;
    EXPECT_EQ(plainText("Checks failed: api-server#482"), "Checks failed: api-server#482");
    EXPECT_EQ(plainText("\x1b[31mred"), QString::fromUtf8("\xEF\xBF\xBD[31mred"));
    EXPECT_EQ(plainText("a\r\nb\rc\nd\te"), "a\nb\nc\nd\te");
    EXPECT_EQ(plainText("x\x7f\xC2\x85y"), QString::fromUtf8("x\xEF\xBF\xBD\xEF\xBF\xBDy")); // DEL and C1 NEL
    EXPECT_EQ(plainText("a\xE2\x80\xAE"
                        "b\xE2\x81\xA6"
                        "c"),
              QString::fromUtf8("a\xEF\xBF\xBD"
                                "b\xEF\xBF\xBD"
                                "c"));
    EXPECT_EQ(plainText("bad \xff"), QString::fromUtf8("bad \xEF\xBF\xBD"));
    EXPECT_EQ(plainText("<b>bold</b> & more"), "<b>bold</b> & more");
    // Right-to-left text itself is left alone.
    EXPECT_EQ(plainText("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"),
              QString::fromUtf8("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"));
}

TEST(PlainText, breaksLongRunsOnlyBetweenWholeCharacters) {
    using app::plainText;
    const QString run = plainText(std::string(100, 'x'));
    EXPECT_GE(run.count(QChar(0x200B)), 3);
    QString without = run;
    without.remove(QChar(0x200B));
    EXPECT_EQ(without, QString(100, 'x'));

    // 60 emoji (surrogate pairs) and an "e" with a combining accent repeated: never split inside.
    std::string emoji;
    for (int i = 0; i < 60; ++i)
        emoji += "\xF0\x9F\x98\x80";
    std::string accents;
    for (int i = 0; i < 60; ++i)
        accents += "e\xCC\x81";
    for (const std::string& s : {emoji, accents}) {
        const QString out = plainText(s);
        for (qsizetype i = 0; i < out.size(); ++i) {
            if (out[i] != QChar(0x200B)) continue;
            ASSERT_GT(i, 0);
            EXPECT_FALSE(out[i - 1].isHighSurrogate());
            ASSERT_LT(i + 1, out.size());
            EXPECT_NE(out[i + 1].category(), QChar::Mark_NonSpacing);
        }
        QString back = out;
        back.remove(QChar(0x200B));
        EXPECT_EQ(back, QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())));
    }
}

TEST(ClipboardText, dropsControlCharacters) {
    EXPECT_EQ(app::clipboardText("https://x.example/a\n\x1b]52;c;AA==\x07"), "https://x.example/a]52;c;AA==");
    EXPECT_EQ(app::clipboardText("/tmp/file name.log"), "/tmp/file name.log");
}

class HostileTest : public HomeTest {
  protected:
    QApplication& gui = guiApp();
    Model model{currentInstant()};
    PopoverView view{model};
    Recorded recorded;
};

TEST_F(HostileTest, everyOutsideTextShowsLiterallyAndNothingActs) {
    record(view, recorded);
    const Instant now = currentInstant();
    std::vector<Gate> gates;
    for (std::size_t i = 0; i < 4; ++i) {
        Gate g = makeGate("pr:" + std::to_string(i), kHostile[i + 2], now - 60);
        g.title = kHostile[i];
        g.detail = kHostile[i + 1];
        g.hint = kHostile[i + 3];
        gates.push_back(g);
    }
    model.setGates(gates);

    Snapshot snap = Snapshot::empty(now);
    snap.ready = true;
    for (std::size_t i = 0; i < 3; ++i) {
        SessionReport s = makeSession(kHostile[i], static_cast<std::int64_t>(i));
        s.project = kHostile[i + 1];
        s.state = kHostile[i + 2];
        s.advice = {kHostile[i + 3], kHostile[i + 4]};
        s.tool = kHostile[6];
        snap.sessions.push_back(s);
        LimitView v;
        v.tool = kHostile[i];
        v.label = kHostile[i + 1];
        v.resetText = kHostile[i + 2];
        v.forecast = kHostile[i + 3];
        v.top = kHostile[i + 4];
        snap.limits.push_back(v);
    }
    model.setSnap(snap);
    model.setNote(joined());
    model.setShowConnect(true);
    model.setConnectError(joined());
    model.setPushStatus(joined());
    fit(view);

    // Qt would take these for rich text if asked to guess, so the test can tell.
    ASSERT_TRUE(Qt::mightBeRichText(QString::fromStdString(kHostile[2])));

    QString everything;
    int outside = 0;
    for (QLabel* label : view.findChildren<QLabel*>()) {
        const QString text = shown(label);
        if (label->objectName() == "todayFigure") {
            EXPECT_FALSE(text.contains("<img")) << "outside text in the rich-text figure";
            continue;
        }
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
        EXPECT_FALSE(label->openExternalLinks());
        for (QChar c : text) {
            const char16_t u = c.unicode();
            EXPECT_FALSE(u < 0x20 && u != u'\n' && u != u'\t')
                << label->objectName().toStdString() << " carries control " << int(u);
            EXPECT_FALSE(u == 0x7F || (u >= 0x80 && u <= 0x9F) || u == 0x202E);
        }
        everything += text + "\n";
        outside += text.contains("<img") || text.contains("<a href") || text.contains("[31mred");
    }
    // Everything still shows, readably.
    EXPECT_GT(outside, 10);
    for (const char* visibleText :
         {"<img src=\"file:///etc/passwd\"> seen", "<a href=\"https://evil.example\">click</a> here",
          "[31mred", "]52;c;", "Title\nX-Injected: yes", "txt.exe", "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes"})
        EXPECT_TRUE(everything.contains(QString::fromUtf8(visibleText))) << visibleText;

    // Tooltips are guessed too; none carries outside text.
    for (QWidget* w : view.findChildren<QWidget*>())
        EXPECT_FALSE(w->toolTip().contains("<img"));

    // None of the hostile links is a web address or an existing file: Open does nothing.
    for (QPushButton* open : visible<QPushButton>(&view, "openButton"))
        QTest::mouseClick(open, Qt::LeftButton, {}, open->rect().center());
    EXPECT_TRUE(recorded.opened.empty());
    EXPECT_TRUE(recorded.revealed.empty());
    for (QPushButton* copy : visible<QPushButton>(&view, "copyLinkButton"))
        QTest::mouseClick(copy, Qt::LeftButton, {}, copy->rect().center());
    ASSERT_EQ(recorded.copied.size(), 4u);
    for (const QString& copied : recorded.copied)
        for (QChar c : copied)
            EXPECT_FALSE(c.unicode() < 0x20 || c.unicode() == 0x7F);
}

// The colours must read on both themes: every label against the panel's background.
double luminance(const QColor& c) {
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
double contrast(const QColor& a, const QColor& b) {
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

TEST_F(HostileTest, labelsReadOnLightAndDarkPalettes) {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2B, 0x2B, 0x2E));
    dark.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xF0));
    dark.setColor(QPalette::Base, QColor(0x1E, 0x1E, 0x20));
    dark.setColor(QPalette::Text, QColor(0xEE, 0xEE, 0xF0));
    dark.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3E));
    dark.setColor(QPalette::ButtonText, QColor(0xEE, 0xEE, 0xF0));
    dark.setColor(QPalette::Highlight, QColor(0x3D, 0xAE, 0xE9));

    Snapshot snap = Snapshot::empty(currentInstant());
    snap.ready = true;
    snap.overBudget = true;
    snap.sessions = {makeSession("a", 3), makeSession("b", 2), makeSession("c", 0)};
    model.setSnap(snap);
    model.setGates({makeGate("g")});
    model.setNote(std::string("note"));

    for (bool useDark : {false, true}) {
        view.setPalette(useDark ? dark : QApplication::palette());
        fit(view);
        const app::Tones tones = app::tonesFor(view.palette());
        EXPECT_EQ(tones.dark, useDark);
        for (QLabel* label : view.findChildren<QLabel*>()) {
            if (!label->isVisibleTo(&view) || label->text().isEmpty()) continue;
            const QColor text = label->palette().color(QPalette::WindowText);
            EXPECT_GE(contrast(text, tones.window), 3.0)
                << label->objectName().toStdString() << " " << text.name().toStdString() << " on "
                << tones.window.name().toStdString();
        }
    }
}

} // namespace
} // namespace quillon::testing
