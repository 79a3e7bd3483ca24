#include "popover_support.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QTest>

#include <cstdlib>

namespace quillon::testing {

QApplication& guiApp() {
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "popover_test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

void fit(app::PopoverView& view) {
    view.setAttribute(Qt::WA_DontShowOnScreen, true);
    view.show();
    view.resize(app::PopoverView::width, view.heightForWidth(app::PopoverView::width));
    QCoreApplication::processEvents();
    view.resize(app::PopoverView::width, view.heightForWidth(app::PopoverView::width));
    QCoreApplication::processEvents();
}

void click(QWidget* widget) {
    if (!widget) return;
    const QPoint at =
        qobject_cast<QCheckBox*>(widget) ? QPoint(8, widget->height() / 2) : widget->rect().center();
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
}

QString shown(const QLabel* label) {
    QString text = label->text();
    text.remove(QChar(0x200B));
    return text;
}

void record(app::PopoverView& view, Recorded& into) {
    app::DesktopActions& a = view.actions();
    a.openUrl = [&into](const QUrl& url) { into.opened.push_back(url); };
    a.reveal = [&into](const QString& path) { into.revealed.push_back(path); };
    a.openFolder = [&into](const QString& path) { into.folders.push_back(path); };
    a.copy = [&into](const QString& text) { into.copied.push_back(text); };
    a.quit = [&into] { ++into.quits; };
    a.sendPush = [&into](const std::string& to, const std::string&, const std::string&, Push::Done done) {
        into.pushedTo.push_back(to);
        into.pushDone = std::move(done);
    };
}

Gate makeGate(const std::string& id, std::optional<std::string> link, Instant since) {
    Gate g;
    g.id = id;
    g.kind = Gate::Kind::alert;
    g.title = "Title " + id;
    g.detail = "Detail " + id;
    g.link = std::move(link);
    g.since = since > 0 ? since : currentInstant() - 300;
    return g;
}

SessionReport makeSession(const std::string& name, std::int64_t level) {
    SessionReport s;
    s.id = name;
    s.name = name;
    s.tool = "Claude Code";
    s.project = "proj";
    s.tokensToday = 1'500'000;
    s.turnsToday = 12;
    s.contextNow = 80'000;
    s.last = currentInstant() - 120;
    s.state = "State of " + name;
    s.stateLevel = level;
    s.advice = {"Advice for " + name};
    return s;
}

} // namespace quillon::testing
