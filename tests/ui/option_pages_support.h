#pragma once
// Shared by the option page tests: a small registry of formats whose
// sub-formats cover every kind of number and colour mask, a wizard frame
// holding the pages, scripted message boxes, and user-like actions.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "core/format.h"
#include "ui/format_rows.h"
#include "ui/hooks.h"
#include "ui/msgbox.h"
#include "ui/wizard.h"

namespace quillon::test {

inline ImageWriter* noWriter(const std::filesystem::path&, const FormatDescriptor*) { return nullptr; }

// Sorted: "aaa" (read-only, index 0), "bmp" (1), "jpg" (2), "tif" (3).
struct FakeFormats {
    static constexpr const char16_t* bmpSubs[] = {u"Normal", u"RLE compressed", u""};
    static constexpr ColourFormatFlags bmpCaps[] = {0x1 | 0x80 | 0x100 | 0x4000 | 0x8000, 0x8 | 0x80};
    static constexpr const char16_t* jpgSubs[] = {u"Normal, by Quality:", u"Normal, to Size:", u""};
    static constexpr ColourFormatFlags jpgCaps[] = {0x4100, 0x4100};
    static constexpr uint8_t jpgParams[] = {PARAM_QUALITY, PARAM_SIZE_KB};
    static constexpr const char16_t* tifSubs[] = {u"Uncompressed", u"JPEG, by Quality:", u"Scaled by:", u""};
    static constexpr ColourFormatFlags tifCaps[] = {0x4000 | 0x10000, 0x4100, 0x4000};
    static constexpr uint8_t tifParams[] = {PARAM_NONE, PARAM_QUALITY, PARAM_FACTOR};

    FormatDescriptor aaa{u"aaa", u"Read only format"};
    FormatDescriptor bmp{u"bmp", u"Windows bitmap format", nullptr, nullptr, noWriter, bmpSubs, bmpCaps};
    FormatDescriptor jpg{u"jpg", u"JPEG image file", nullptr, nullptr, noWriter, jpgSubs, jpgCaps, jpgParams};
    FormatDescriptor tif{u"tif", u"Tag image file format", nullptr, nullptr, noWriter, tifSubs, tifCaps, tifParams};
    FormatRegistry registry;

    FakeFormats()
    {
        for (const FormatDescriptor* d : {&tif, &bmp, &aaa, &jpg}) registry.add(d);
    }
    static constexpr int kBmp = 1, kJpg = 2, kTif = 3;
};

// Answers message boxes from a script and records what was asked.
struct ScriptedBoxes {
    struct Asked {
        QString text, caption;
        std::vector<QString> buttons;
    };
    std::vector<Asked> asked;
    std::vector<int32_t> answers; // used in order; when they run out, the close value
    ScriptedBoxes()
    {
        ui::uiHooks() = {};
        ui::uiHooks().msgBox = [this](QWidget*, const QString& text, const QString& caption,
                                      const std::vector<ui::MsgButton>& buttons, int32_t closeValue) {
            Asked a{text, caption, {}};
            for (const ui::MsgButton& b : buttons) a.buttons.push_back(b.label);
            asked.push_back(a);
            if (answers.empty()) return closeValue == -1 ? buttons.front().value : closeValue;
            int32_t v = answers.front();
            answers.erase(answers.begin());
            return v;
        };
        ui::uiHooks().helpShow = [this](int topic) { help.push_back(topic); };
    }
    ~ScriptedBoxes() { ui::uiHooks() = {}; }
    std::vector<int> help;
};

// User-like actions: the value changes and the control's user signal fires.
inline void choose(ui::WizardPage& page, int id, int index)
{
    QComboBox* c = page.controls().combo(id);
    ASSERT_NE(c, nullptr) << id;
    ASSERT_TRUE(c->isEnabled()) << id;
    c->setCurrentIndex(index);
    Q_EMIT c->activated(index);
}
inline void chooseText(ui::WizardPage& page, int id, const QString& text)
{
    QComboBox* c = page.controls().combo(id);
    ASSERT_NE(c, nullptr) << id;
    int i = c->findText(text);
    ASSERT_GE(i, 0) << text.toStdString();
    choose(page, id, i);
}
inline void click(ui::WizardPage& page, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(page.controls().get(id));
    ASSERT_NE(b, nullptr) << id;
    b->click();
}
inline QString text(ui::WizardPage& page, int id)
{
    QWidget* w = page.controls().get(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    return w ? w->property("text").toString() : QString();
}
inline bool checked(ui::WizardPage& page, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(page.controls().get(id));
    return b && b->isChecked();
}
inline bool enabled(ui::WizardPage& page, int id) { return page.controls().get(id)->isEnabled(); }
inline QStringList items(ui::WizardPage& page, int id)
{
    QStringList out;
    QComboBox* c = page.controls().combo(id);
    for (int i = 0; c && i < c->count(); ++i) out << c->itemText(i);
    return out;
}

// A wizard of six pages, plain placeholders except those given.
struct WizardHarness {
    ui::WizardFrame frame;
    JobSettings* settings;
    explicit WizardHarness(JobSettings& s, std::vector<ui::WizardPage*> pages) : settings(&s)
    {
        frame.navSettings = [this] {
            return NavSettings{int(settings->iOutFormats), settings->bShowMoreOptions != 0,
                               settings->index.bIndex != 0};
        };
        for (int i = 0; i < WIZARD_PAGE_COUNT; ++i) {
            ui::WizardPage* page = nullptr;
            for (ui::WizardPage* p : pages)
                if (p->pageIndex() == i) page = p;
            frame.addPage(page ? page : new ui::WizardPage(i));
        }
        // The frame activates its first page from the event loop; that
        // happens here, before a test moves to the page it wants.
        QCoreApplication::processEvents();
    }
};

} // namespace quillon::test

namespace quillon::test {

// Lets posted work run until `done` holds or two seconds pass.
template <class F>
bool waitFor(F done)
{
    for (int i = 0; i < 200 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

} // namespace quillon::test
