#pragma once

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

#include "app/model.h"
#include "app/popover_view.h"
#include "gates/gate.h"
#include "report/snapshot.h"
#include "settings/clock.h"
#include "test_home.h"

namespace quillon::testing {

// The one application object of a test program, on the offscreen platform.
QApplication& guiApp();

// Shows the view off screen at its fitting height for 400 px, as the popup window does.
void fit(app::PopoverView& view);

// Clicks a button where the user would: a check box on its indicator, anything else in the middle.
void click(QWidget* widget);

// A label's text as the user reads it (without the invisible wrap points).
QString shown(const QLabel* label);

// The named descendants that the user can see.
template <class T> std::vector<T*> visible(QWidget* root, const QString& name) {
    std::vector<T*> out;
    for (T* w : root->findChildren<T*>(name))
        if (w->isVisibleTo(root)) out.push_back(w);
    return out;
}

// Whatever the panel asked of the desktop.
struct Recorded {
    std::vector<QUrl> opened;
    std::vector<QString> revealed, folders, copied;
    int quits = 0;
    std::vector<std::string> pushedTo;
    Push::Done pushDone;
};
void record(app::PopoverView& view, Recorded& into);

Gate makeGate(const std::string& id, std::optional<std::string> link = std::nullopt, Instant since = 0);
SessionReport makeSession(const std::string& name, std::int64_t level);

// The panel on a fresh model, in a temporary home.
class PanelTest : public HomeTest {
  protected:
    // The one visible button or label of that name (a failure if there is none or several).
    QPushButton* onlyButton(const char* name) { return only<QPushButton>(name); }
    QLabel* onlyLabel(const char* name) { return only<QLabel>(name); }
    QWidget* section(const char* name) { return view.findChild<QWidget*>(name); }
    void click(QWidget* w) {
        ASSERT_NE(w, nullptr);
        testing::click(w);
    }

    QApplication& gui = guiApp();
    app::Model model{currentInstant()};
    app::PopoverView view{model};
    Recorded recorded;

  private:
    template <class T> T* only(const char* name) {
        auto found = visible<T>(&view, name);
        EXPECT_EQ(found.size(), 1u) << name;
        return found.empty() ? nullptr : found.front();
    }
};

} // namespace quillon::testing
