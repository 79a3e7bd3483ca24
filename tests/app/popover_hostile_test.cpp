#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cmath>

#include "hostile_texts.h"
#include "popover_support.h"

namespace quillon::testing {
namespace {

const std::string& hostile(std::size_t i) {
    return hostileTexts[i % hostileTexts.size()].text;
}

TEST(PlainText, keepsLineBreaksTabsAndRightToLeftTextAndBreaksLongRunsBetweenWholeCharacters) {
    using app::plainText;
    EXPECT_EQ(plainText("a\r\nb\rc\nd\te"), "a\nb\nc\nd\te");
    EXPECT_EQ(plainText("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"),
              QString::fromUtf8("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"));
    EXPECT_EQ(plainText("<b>bold</b> & more"), "<b>bold</b> & more");

    // 100 letters, 60 emoji (surrogate pairs), an "e" with a combining accent 60 times: break
    // points appear, never inside a character, and take nothing away.
    std::string emoji, accents;
    for (int i = 0; i < 60; ++i) {
        emoji += "\xF0\x9F\x98\x80";
        accents += "e\xCC\x81";
    }
    for (const std::string& s : {std::string(100, 'x'), emoji, accents}) {
        const QString out = plainText(s);
        EXPECT_GE(out.count(QChar(0x200B)), 3);
        for (qsizetype i = 0; i < out.size(); ++i) {
            if (out[i] != QChar(0x200B)) continue;
            ASSERT_TRUE(i > 0 && i + 1 < out.size());
            EXPECT_FALSE(out[i - 1].isHighSurrogate());
            EXPECT_NE(out[i + 1].category(), QChar::Mark_NonSpacing);
        }
        QString back = out;
        back.remove(QChar(0x200B));
        EXPECT_EQ(back, QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())));
    }
}

class HostileTest : public PanelTest {};

TEST_F(HostileTest, everyOutsideTextShowsLiterallyAndNothingActs) {
    record(view, recorded);
    const Instant now = currentInstant();
    std::string joined;
    for (const auto& h : hostileTexts)
        joined += h.text + " ";
    std::vector<Gate> gates;
    for (std::size_t i = 0; i < 4; ++i) {
        Gate g = makeGate("pr:" + std::to_string(i), hostile(i + 2), now - 60);
        g.title = hostile(i);
        g.detail = hostile(i + 1);
        g.hint = hostile(i + 3);
        gates.push_back(g);
    }
    model.setGates(gates);

    Snapshot snap = Snapshot::empty(now);
    snap.ready = true;
    for (std::size_t i = 0; i < 3; ++i) {
        SessionReport s = makeSession(hostile(i), static_cast<std::int64_t>(i));
        s.project = hostile(i + 1);
        s.state = hostile(i + 2);
        s.advice = {hostile(i + 3), hostile(i + 4)};
        s.tool = hostile(i + 7);
        snap.sessions.push_back(s);
        LimitView v;
        v.tool = hostile(i + 3);
        v.label = hostile(i + 4);
        v.resetText = hostile(i + 5);
        v.forecast = hostile(i + 6);
        v.top = hostile(i + 7);
        snap.limits.push_back(v);
    }
    model.setSnap(snap);
    model.setNote(joined);
    model.setShowConnect(true);
    model.setConnectError(joined);
    model.setPushStatus(joined);
    fit(view);

    // Qt would take the markup for rich text if asked to guess, so the test can tell.
    ASSERT_TRUE(Qt::mightBeRichText(QString::fromStdString(hostile(5))));

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
            EXPECT_FALSE((u < 0x20 && u != u'\n' && u != u'\t') || (u >= 0x7F && u <= 0x9F) ||
                         (u >= 0x202A && u <= 0x202E))
                << label->objectName().toStdString() << " carries control " << int(u);
        }
        everything += text + "\n";
        outside += text.contains("<img") || text.contains("[31mred");
    }
    // Everything still shows, readably.
    EXPECT_GT(outside, 10);
    for (const char* visibleText :
         {"Deploy\nX-Injected: 1\n\nGET /admin", "[31mred", "]52;c;", "31mb", "exe.pdf",
          "<img src=https://evil.example/x.png> <a href=\"https://evil.example\">fix</a> & more",
          "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes \xEF\xBF\xBD end"})
        EXPECT_TRUE(everything.contains(QString::fromUtf8(visibleText))) << visibleText;

    // Tooltips are guessed too; none carries outside text.
    for (QWidget* w : view.findChildren<QWidget*>())
        EXPECT_FALSE(w->toolTip().contains("<img"));

    // None of the hostile links is a web address or an existing file: Open does nothing. Copying
    // drops the control characters and keeps the rest.
    for (QPushButton* open : visible<QPushButton>(&view, "openButton"))
        QTest::mouseClick(open, Qt::LeftButton, {}, open->rect().center());
    EXPECT_TRUE(recorded.opened.empty());
    EXPECT_TRUE(recorded.revealed.empty());
    for (QPushButton* copy : visible<QPushButton>(&view, "copyLinkButton"))
        QTest::mouseClick(copy, Qt::LeftButton, {}, copy->rect().center());
    ASSERT_EQ(recorded.copied.size(), 4u);
    EXPECT_TRUE(recorded.copied[1].contains("]52;c;ZWNobyBwd25lZA==copied"));
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

TEST_F(HostileTest, labelsReadOnLightAndDarkPalettes) {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2B, 0x2B, 0x2E));
    dark.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xF0));
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
            const double x = luminance(text), y = luminance(tones.window);
            EXPECT_GE((std::max(x, y) + 0.05) / (std::min(x, y) + 0.05), 3.0)
                << label->objectName().toStdString() << " " << text.name().toStdString() << " on "
                << tones.window.name().toStdString();
        }
    }
}

} // namespace
} // namespace quillon::testing
