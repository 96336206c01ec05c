// The preferences window, the rules editor, the folder-rule editor and the History menu against
// the real controller, off screen.
#include "app/ui/ZRPreferencesWindow.h"
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/ui/ZRAuthenticationDialog.h"
#include "app/ui/ZRDesktopUserInterface.h"
#include "app/ui/ZRFolderRuleEditor.h"
#include "app/ui/ZRHistoryMenuView.h"
#include "app/ui/ZRJSONTextView.h"
#include "core/download/ZRDownloadKeys.h"
#include "core/download/ZRDownloadWorkerPrototype.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/http/ZRHTTPAuthentication.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRPageRules.h"
#include "core/text/ZRTextKeys.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>
#include <QTextBlock>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>
#include <QWidgetAction>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

using namespace ZRTestSupport;
using namespace ZRPreferenceKey;

namespace
{

// Answers each modal window of type T that comes up, looking every 10 ms while the timer lives.
template <typename T> std::unique_ptr<QTimer> answerModalWindows(std::function<void(T *)> answer)
{
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(10);
    QObject::connect(timer.get(), &QTimer::timeout, [answer = std::move(answer)] {
        auto *window = qobject_cast<T *>(QApplication::activeModalWidget());
        if (window && window->isVisible())
            answer(window);
    });
    timer->start();
    return timer;
}

} // namespace

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

class PreferencesTest : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Shared.plist"));
        ZRDownload::setQueuedDownloadStarterForTesting([](ZRDownload &) {});
        ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        ZRMainController::registerDefaults();
        ui = std::make_unique<ZRDesktopUserInterface>();
        ui->setAlertHandlerForTesting([this](const ZRAlert &alert) {
            alerts.append(alert.title);
            return ZRAlertFirstButton;
        });
        controller->setUserInterface(ui.get());
        window = std::make_unique<ZRPreferencesWindow>();
    }

    void TearDown() override
    {
        window.reset();
        controller->resetForTesting();
        ui.reset();
        ZRDownload::setQueuedDownloadStarterForTesting({});
        processEventsFor(1);
    }

    template <typename T> T *control(const QString &key) const
    {
        T *widget = qobject_cast<T *>(window->controlForKey(key));
        EXPECT_TRUE(widget) << key.toStdString();
        return widget;
    }

    static void choose(QComboBox *box, int index)
    {
        box->setCurrentIndex(index);
        Q_EMIT box->activated(index);
    }

    ZRMainController *controller = nullptr;
    std::unique_ptr<ZRDesktopUserInterface> ui;
    std::unique_ptr<ZRPreferencesWindow> window;
    QStringList alerts;
};

// Keys whose switches or pop-ups have their own tests below (or that are not plain values).
const QStringList specialKeys{QuitOnClose, ZRDownloadWorkerDefaultsKeys::ThrottleSupported};

// Replaces the whole text as typing would.
void typeText(ZRJSONTextView *view, const QString &text)
{
    QTextCursor cursor(view->document());
    cursor.select(QTextCursor::Document);
    cursor.insertText(text);
}

} // namespace

// Every switch and pop-up of every section: using it writes its key, and a change made elsewhere
// shows at once.
TEST_F(PreferencesTest, EveryControlWritesItsKeyAndFollowsOutsideChanges)
{
    int switches = 0;
    int popUps = 0;
    for (const QString &key : window->controlledKeys()) {
        if (specialKeys.contains(key))
            continue;
        QWidget *widget = window->controlForKey(key);
        SCOPED_TRACE(key.toStdString());
        if (auto *box = qobject_cast<QCheckBox *>(widget)) {
            ++switches;
            const bool before = defaults().boolForKey(key);
            EXPECT_EQ(box->isChecked(), before);
            box->click();
            EXPECT_EQ(defaults().boolForKey(key), !before);
            EXPECT_EQ(box->isChecked(), !before);
            defaults().setBool(before, key);
            EXPECT_EQ(box->isChecked(), before);
        } else if (auto *box = qobject_cast<QComboBox *>(widget);
                   box && !box->isEditable() && key != ZRFolderRulesPreferenceKey::DownloadsFolder) {
            ++popUps;
            const qint64 before = box->currentData().toLongLong();
            ASSERT_GE(box->currentIndex(), 0) << "no item shows the stored value";
            // The first item of another value.
            int other = -1;
            for (int index = 0; index < box->count() && other < 0; ++index) {
                if (box->itemData(index).isValid() && box->itemData(index).toLongLong() != before)
                    other = index;
            }
            ASSERT_GE(other, 0);
            const qint64 tag = box->itemData(other).toLongLong();
            choose(box, other);
            // The queue and the engine keep their own readers of these keys.
            const qint64 stored =
                key == NumberOfConcurrentDownloads ? ZRDownload::numberOfConcurrentDownloads()
                : key == ZRDownloadDefaultsKeys::AccelerationChannels ? ZRDownload::accelerationFactor()
                                                                      : defaults().integerForKey(key);
            EXPECT_EQ(stored, tag);
            defaults().setInteger(before, key);
            EXPECT_EQ(box->currentData().toLongLong(), before);
        }
    }
    // Every section has its controls: none went missing from the table.
    EXPECT_GE(switches, 40);
    EXPECT_GE(popUps, 15);
    EXPECT_TRUE(alerts.isEmpty()) << alerts.join(QStringLiteral("; ")).toStdString();
}

TEST_F(PreferencesTest, QuitOnCloseBoxWritesBothKeys)
{
    auto *box = control<QCheckBox>(QuitOnClose);
    ASSERT_TRUE(box->isTristate());
    const struct {
        Qt::CheckState state;
        bool quitOnClose;
        bool cleanSlateOnly;
    } rows[] = {
        {Qt::PartiallyChecked, true, true}, {Qt::Checked, true, false}, {Qt::Unchecked, false, false}};
    for (const auto &row : rows) {
        box->setCheckState(row.state);
        EXPECT_EQ(defaults().boolForKey(QuitOnClose), row.quitOnClose) << int(row.state);
        EXPECT_EQ(defaults().boolForKey(QuitOnCloseCleanSlateOnly), row.cleanSlateOnly) << int(row.state);
    }
    defaults().setBool(true, QuitOnClose);
    defaults().setBool(true, QuitOnCloseCleanSlateOnly);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
}

TEST_F(PreferencesTest, BasicDownloadSwitchStoresTheOpposite)
{
    auto *box = control<QCheckBox>(ZRDownloadWorkerDefaultsKeys::ThrottleSupported);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_FALSE(defaults().boolForKey(ZRDownloadWorkerDefaultsKeys::ThrottleSupported));
    box->click();
    EXPECT_TRUE(defaults().boolForKey(ZRDownloadWorkerDefaultsKeys::ThrottleSupported));
}

// The field waits for typing to stop, then stores thousands of bytes per second, never less than 1.
TEST_F(PreferencesTest, ThrottleFieldAppliesAfterTypingStopsAndClamps)
{
    QLineEdit *field = window->throttleField();
    EXPECT_EQ(field->text(), QStringLiteral("100"));
    const struct {
        const char *typed;
        quint64 limit;
        const char *shown;
    } rows[] = {
        {"0", 1000, "1"}, {"fast", 1000, "1"}, {"-5", 1000, "1"}, {"250", 250000, "250"}, {"2.6", 3000, "3"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed);
        ZRHTTPRequestDownloadWorker::setThrottleLimit(77000);
        field->clear();
        QTest::keyClicks(field, QString::fromLatin1(row.typed));
        // Not yet: the user may still be typing.
        EXPECT_TRUE(window->throttleTimer()->isActive());
        EXPECT_EQ(ZRHTTPRequestDownloadWorker::throttleLimit(), 77000u);
        QSignalSpy fired(window->throttleTimer(), &QTimer::timeout);
        ASSERT_TRUE(fired.wait(5000));
        EXPECT_EQ(ZRHTTPRequestDownloadWorker::throttleLimit(), row.limit);
        EXPECT_EQ(field->text(), QString::fromLatin1(row.shown));
    }
    ZRHTTPRequestDownloadWorker::setThrottleLimit(800);
    EXPECT_EQ(field->text(), QStringLiteral("1"));
}

TEST_F(PreferencesTest, TextFieldsStoreTrimmedOrRemoveAndColourTheFilter)
{
    auto *userAgent = control<QLineEdit>(ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    EXPECT_EQ(userAgent->placeholderText(), ZRDownloadWorkerPrototype::defaultUserAgent());
    QTest::keyClicks(userAgent, QStringLiteral("  Agent/1 "));
    EXPECT_EQ(defaults().stringForKey(ZRDownloadWorkerDefaultsKeys::CustomUserAgent),
              QStringLiteral("Agent/1"));
    userAgent->selectAll();
    QTest::keyClick(userAgent, Qt::Key_Backspace);
    EXPECT_FALSE(defaults().objectForKey(ZRDownloadWorkerDefaultsKeys::CustomUserAgent).isValid());

    auto *filter = control<QLineEdit>(SafariExtensionFilter);
    const struct {
        const char *text;
        bool usable;
    } rows[] = {{"\\.(zip|iso)$", true}, {"(unclosed", false}, {"   ", false}, {"[a-", false}, {"ISO", true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        filter->clear();
        QTest::keyClicks(filter, QString::fromLatin1(row.text));
        // Stored as typed, usable or not.
        EXPECT_EQ(ZRUserDefaults::sharedGroupDefaults().stringForKey(SafariExtensionFilter),
                  QString::fromLatin1(row.text));
        const QColor expected =
            QApplication::palette().color(row.usable ? QPalette::Active : QPalette::Disabled, QPalette::Text);
        EXPECT_EQ(filter->palette().color(QPalette::Active, QPalette::Text), expected);
    }
    ZRUserDefaults::sharedGroupDefaults().setObject(QStringLiteral("mp4"), SafariExtensionFilter);
    EXPECT_EQ(filter->text(), QStringLiteral("mp4"));

    auto *format = control<QComboBox>(ZRFolderRulesPreferenceKey::SubdivisionFormatDefault);
    format->lineEdit()->clear();
    QTest::keyClicks(format->lineEdit(), QStringLiteral("yyyy/MM"));
    EXPECT_EQ(defaults().stringForKey(ZRFolderRulesPreferenceKey::SubdivisionFormatDefault),
              QStringLiteral("yyyy/MM"));
    format->lineEdit()->setText(QStringLiteral("  "));
    Q_EMIT format->lineEdit()->textEdited(QStringLiteral("  "));
    EXPECT_FALSE(defaults().objectForKey(ZRFolderRulesPreferenceKey::SubdivisionFormatDefault).isValid());
}

// Number fields store whole numbers as integers and others as they are, the lowest value removes
// the key; list fields store host names apart by spaces or commas; both show what is stored.
TEST_F(PreferencesTest, NumberAndListFieldsWriteTheirKeys)
{
    const struct {
        QString key;
        double typed;
        std::optional<double> stored;
    } numbers[] = {
        {ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval, 30, 30},
        {ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval, 0, std::nullopt},
        {ZRDownloadWorkerDefaultsKeys::MaximumConcurrentOperations, 5000, 1000},
        {ZRDownloadDefaultsKeys::AutoResumeDelay, 2.5, 2.5},
        {ZRTextDefaultsKeys::NumbersFractionDigits, 0, 0},
        {ZRTextDefaultsKeys::NumbersFractionDigits, -1, std::nullopt},
        {URLOpeningInterval, 0.5, 0.5},
    };
    for (const auto &row : numbers) {
        SCOPED_TRACE(row.key.toStdString() + " " + std::to_string(row.typed));
        auto *field = control<QDoubleSpinBox>(row.key);
        field->setValue(row.typed == field->minimum() ? 1 : field->minimum());
        field->setValue(row.typed);
        const QVariant stored = defaults().objectForKey(row.key);
        ASSERT_EQ(stored.isValid(), row.stored.has_value());
        if (row.stored) {
            EXPECT_DOUBLE_EQ(stored.toDouble(), *row.stored);
            EXPECT_EQ(stored.typeId() == QMetaType::Double, field->decimals() > 0);
        }
    }
    defaults().setInteger(90, ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
    EXPECT_EQ(control<QDoubleSpinBox>(ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval)->value(), 90);

    auto *always = control<QLineEdit>(ZRDownloadDefaultsKeys::AccelerationHostWhitelist);
    always->setText(QStringLiteral(" a.example, b.example  c.example,"));
    Q_EMIT always->editingFinished();
    EXPECT_EQ(defaults().stringArrayForKey(ZRDownloadDefaultsKeys::AccelerationHostWhitelist),
              (QStringList{QStringLiteral("a.example"), QStringLiteral("b.example"), QStringLiteral("c.example")}));
    always->clear();
    Q_EMIT always->editingFinished();
    EXPECT_FALSE(defaults().objectForKey(ZRDownloadDefaultsKeys::AccelerationHostWhitelist).isValid());
    defaults().setObject(QStringList{QStringLiteral("x.example"), QStringLiteral("y.example")},
                         ZRDownloadDefaultsKeys::AccelerationHostBlacklist);
    EXPECT_EQ(control<QLineEdit>(ZRDownloadDefaultsKeys::AccelerationHostBlacklist)->text(), QStringLiteral("x.example, y.example"));
}

// A toolbar button's explanation shows over its section; with its box left ticked it never shows
// again, with the box cleared it comes back next time.
TEST_F(PreferencesTest, ASuppressedToolbarExplanationNeverShowsAgain)
{
    ZRDesktopUserInterface shown;
    int explanations = 0;
    bool untick = true;
    const auto answering = answerModalWindows<QMessageBox>([&](QMessageBox *box) {
        ++explanations;
        ASSERT_TRUE(box->checkBox());
        EXPECT_TRUE(box->checkBox()->isChecked());
        if (untick)
            box->checkBox()->setChecked(false);
        untick = false;
        box->accept();
    });
    const QString key = ZRMainController::toolbarButtonExplanationSuppressionKey(QStringLiteral("Speed"));
    for (const int expected : {1, 2, 2, 2}) {
        shown.showToolbarButtonExplanationForPreferencesSection(QStringLiteral("Speed"));
        EXPECT_EQ(explanations, expected);
    }
    EXPECT_TRUE(defaults().boolForKey(key));
}

TEST_F(PreferencesTest, AutoClearSuccessesRemovesCompleteRowsAtOnce)
{
    const QString file = sandboxRoot() + QStringLiteral("/done/finished.zzq");
    ASSERT_TRUE(writeFile(file, "done"));
    ZRDownloadPtr complete = ZRDownload::downloadWithURLString(QUrl::fromLocalFile(file).toString(), false);
    complete->setStatus(ZRDownloadStatusComplete);
    controller->appendDownload(complete);
    ZRDownloadPtr paused =
        ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1:9/a.zip"), false);
    paused->setStatus(ZRDownloadStatusPaused);
    controller->appendDownload(paused);
    control<QCheckBox>(AutoClearSuccesses)->click();
    ASSERT_TRUE(waitUntil([&] { return controller->downloads().size() == 1; }));
    EXPECT_EQ(controller->downloads().first(), paused);
}

TEST_F(PreferencesTest, RulesEditorDecodesValidatesColoursAndStores)
{
    ZRJSONTextView *editor = window->rulesEditor();
    EXPECT_EQ(editor->text(), ZRPageRules::defaultRulesText());
    const QString rule =
        QStringLiteral(R"x([{"Source":"x","Query Cascade":["y"],"Use Source Name":"title: (.+)"}])x");

    typeText(editor, rule);
    EXPECT_EQ(defaults().stringForKey(ZRFolderRulesPreferenceKey::DownloadPageRules), rule);
    EXPECT_EQ(editor->decodingClassName(), ZRDecodingClassName::JSON);
    EXPECT_EQ(editor->colorAt(rule.indexOf(QStringLiteral("\"Source\""))), editor->keyColor());
    EXPECT_EQ(editor->colorAt(rule.indexOf(QStringLiteral("\"x\""))), editor->valueColor());
    EXPECT_EQ(editor->colorAt(rule.indexOf(QStringLiteral("title:"))), editor->invalidCodeColor());
    EXPECT_EQ(editor->colorAt(rule.indexOf(QStringLiteral("(.+)"))), editor->valueColor());
    EXPECT_EQ(editor->colorAt(0), editor->otherCodeColor());

    // Undecodable: all disabled; decodable but not a rule set: all grey. Both are stored as typed.
    const struct {
        const char *text;
        bool decodes;
    } rows[] = {{"[{\"Source\":\"x\"", false}, {"[{\"Source\":\"x\",\"Use Source Name\":\"true\"}]", true}};
    for (const auto &row : rows) {
        const QString text = QString::fromLatin1(row.text);
        typeText(editor, text);
        EXPECT_EQ(defaults().stringForKey(ZRFolderRulesPreferenceKey::DownloadPageRules), text);
        for (qsizetype i = 0; i < text.size(); ++i)
            ASSERT_EQ(editor->colorAt(i), row.decodes ? editor->otherCodeColor() : editor->invalidCodeColor())
                << row.text << " at " << i;
        EXPECT_NE(editor->otherCodeColor(), editor->invalidCodeColor());
    }

    // "true" inside a string is a value, the bare word a boolean.
    const QString booleans =
        QStringLiteral(R"x([{"Source":"true","Query Cascade":["y"],"Collect All Matches":true}])x");
    typeText(editor, booleans);
    EXPECT_EQ(editor->colorAt(booleans.indexOf(QStringLiteral("true"))), editor->valueColor());
    EXPECT_EQ(editor->colorAt(booleans.lastIndexOf(QStringLiteral("true"))), editor->trueBooleanColor());

    // Emptied: the built-in rules are back, in the editor and in force.
    typeText(editor, QString());
    EXPECT_FALSE(defaults().objectForKey(ZRFolderRulesPreferenceKey::DownloadPageRules).isValid());
    EXPECT_EQ(editor->text(), ZRPageRules::defaultRulesText());
    EXPECT_EQ(controller->downloadPageRules(), ZRPageRules::defaultRules());
}

// QSON in, rewritten as JSON, as a property list and back: the same rules all the way.
TEST_F(PreferencesTest, RulesEditorRewritesBetweenTheThreeFormats)
{
    ZRJSONTextView *editor = window->rulesEditor();
    const QString qson = QStringLiteral("[\n\t{\n\t\t\"Source\": \"example\\\\.org\"\n\t\t\"Query Cascade\": "
                                        "[\n\t\t\t\"href=\\\"(.+?)\\\"\"\n\t\t]\n\t}\n]");
    typeText(editor, qson);
    ASSERT_EQ(editor->decodingClassName(), ZRDecodingClassName::QSON);
    const std::optional<QVariant> original = editor->validatedObjectValue();
    ASSERT_TRUE(original);
    const auto item = [editor](const char *title) {
        for (const auto &format : editor->formatMenuItems()) {
            if (format.title == QLatin1String(title))
                return format;
        }
        return ZRJSONTextView::FormatItem{};
    };
    EXPECT_EQ(item("JSON").state, Qt::PartiallyChecked);
    EXPECT_EQ(item("QSON").state, Qt::Checked);

    for (const char *format : {"JSON", "PLIST", "QSON", "JSON"}) {
        SCOPED_TRACE(format);
        const ZRJSONTextView::FormatItem chosen = item(format);
        ASSERT_TRUE(chosen.enabled);
        editor->chooseFormatItem(chosen);
        EXPECT_EQ(editor->text(), chosen.text);
        EXPECT_EQ(item(format).state, Qt::Checked);
        EXPECT_FALSE(item(format).enabled) << "the text is already in that form";
        EXPECT_EQ(editor->validatedObjectValue(), original);
        EXPECT_EQ(defaults().stringForKey(ZRFolderRulesPreferenceKey::DownloadPageRules), chosen.text);
    }
    EXPECT_EQ(controller->downloadPageRules(), ZRPageRules::normalizedRules(*original));
}

TEST_F(PreferencesTest, RulesEditorKeepsIndentationAndClampsItsFont)
{
    ZRJSONTextView *editor = window->rulesEditor();
    editor->setText(QStringLiteral("[\n\t\t\"a\""));
    editor->moveCursor(QTextCursor::End);
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(editor->textCursor().block().text(), QStringLiteral("\t\t"));
    const struct {
        int stored;
        int size;
    } rows[] = {{0, 12}, {-3, 12}, {5, 8}, {20, 20}, {99, 50}};
    for (const auto &row : rows) {
        defaults().setInteger(row.stored, QStringLiteral("ZRJSONTextViewDefaultFontSize"));
        EXPECT_EQ(ZRJSONTextView::defaultFont().pointSize(), row.size) << row.stored;
    }
}

// A rule defined in the editor, edited, then removed; the preferences' list follows each step.
TEST_F(PreferencesTest, FolderRuleEditorAddsEditsAndRemovesRules)
{
    const QString folder = sandboxRoot() + QStringLiteral("/rule-folder");
    ASSERT_TRUE(QDir().mkpath(folder));
    defaults().setObject(QStringList{folder}, ZRFolderRulesPreferenceKey::RecentDownloadsFolders);
    const auto rules = [] { return defaults().arrayForKey(ZRFolderRulesPreferenceKey::Rules); };
    const auto folderIndex = [&](ZRFolderRuleEditor &editor) {
        for (int index = 0; index < editor.folderSelector()->count(); ++index) {
            if (editor.folderSelector()->itemText(index).contains(QStringLiteral("rule-folder")))
                return index;
        }
        return -1;
    };
    {
        ZRFolderRuleEditor editor(std::nullopt);
        EXPECT_EQ(editor.windowTitle(), QStringLiteral("Define Rule"));
        EXPECT_FALSE(editor.removeButton()->isVisibleTo(&editor));
        editor.hostsField()->setPlainText(QStringLiteral(" .example.org.\n\n"));
        EXPECT_FALSE(editor.okButton()->isEnabled()) << "no folder and no application yet";
        editor.chooseFolderItem(folderIndex(editor));
        EXPECT_TRUE(editor.okButton()->isEnabled());
        editor.done(QDialog::Accepted);
    }
    ASSERT_EQ(rules().size(), 1);
    QVariantMap rule = rules().first().toMap();
    EXPECT_EQ(rule.value(ZRFolderRuleKey::Hosts).toStringList(), QStringList{QStringLiteral("example.org")});
    EXPECT_TRUE(
        rule.value(ZRFolderRuleKey::DownloadsFolder).toString().endsWith(QStringLiteral("/rule-folder")));
    EXPECT_EQ(window->folderRuleList()->topLevelItemCount(), 1);

    {
        ZRFolderRuleEditor editor(rule);
        EXPECT_EQ(editor.windowTitle(), QStringLiteral("Edit Rule"));
        EXPECT_EQ(editor.hostsField()->toPlainText(), QStringLiteral("example.org"));
        editor.extensionsField()->setPlainText(QStringLiteral("zzq"));
        editor.done(QDialog::Accepted);
    }
    ASSERT_EQ(rules().size(), 1);
    rule = rules().first().toMap();
    EXPECT_EQ(rule.value(ZRFolderRuleKey::Extensions).toStringList(), QStringList{QStringLiteral("zzq")});

    {
        ZRFolderRuleEditor editor(rule);
        editor.hostsField()->setPlainText(QStringLiteral("other.example"));
        editor.done(QDialog::Rejected);
    }
    EXPECT_EQ(rules().first().toMap(), rule) << "Cancel changes nothing";
    {
        ZRFolderRuleEditor editor(rule);
        editor.done(ZRFolderRuleEditor::RemoveResult);
    }
    EXPECT_TRUE(rules().isEmpty());
    EXPECT_EQ(window->folderRuleList()->topLevelItemCount(), 0);
    EXPECT_FALSE(controller->currentSpecialCaseDownloadsFolder());
}

// The windows' answers reaching real downloads from a loopback server.
class LiveDownloadsTest : public PreferencesTest
{
protected:
    void SetUp() override
    {
        PreferencesTest::SetUp();
        ZRDownload::setQueuedDownloadStarterForTesting({});
        ZRTestSupport::queueEngineCallbacksOnMainLoop();
        ZR_START_NGINX_OR_SKIP(nginx);
        defaults().setBool(false, ZRAuthenticationDefaultsKeys::StorePasswordsInKeychain);
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        ZRHTTPAuthenticationManager::defaultManager().resetForTesting();
    }
    void TearDown() override
    {
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        PreferencesTest::TearDown();
    }
    // Opens the addresses as the window's intake does and waits until every download they made ended.
    ZRDownloadList download(const QStringList &paths)
    {
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls.append(nginx.httpURL(path));
        QList<ZRIntakeRefusal> refusals;
        controller->openURLs(urls, {}, &refusals);
        for (const ZRIntakeRefusal &each : refusals)
            ADD_FAILURE() << "refused: " << each.item.toStdString() << ": " << each.reason.toStdString();
        ZRDownloadList made;
        waitUntil([&] {
            made.clear();
            for (const ZRDownloadPtr &each : controller->downloads()) {
                // A finished download's URL is its file's; the address stays as the original.
                if (urls.contains(QUrl(each->originalURLString())))
                    made.push_back(each);
            }
            return made.size() == urls.size()
                && std::all_of(made.begin(), made.end(), [](const ZRDownloadPtr &each) {
                       return each->status() == ZRDownloadStatusComplete || each->status() == ZRDownloadStatusAborted;
                   });
        }, 15000);
        return made;
    }

    ZRTestNginx nginx{ZRTestNginx::Options{.https = false}};
};

// A rule made in the editor files the next download of its kind into its folder; others stay in
// the downloads folder.
TEST_F(LiveDownloadsTest, ARuleDefinedInTheEditorFilesTheNextDownload)
{
    ASSERT_TRUE(nginx.addFile(QStringLiteral("files/song.flac"), QByteArray(3000, 'f')));
    ASSERT_TRUE(nginx.addFile(QStringLiteral("files/notes.txt"), "notes"));
    const QString folder = sandboxRoot() + QStringLiteral("/live-rule-folder");
    ASSERT_TRUE(QDir().mkpath(folder));
    defaults().setObject(QStringList{folder}, ZRFolderRulesPreferenceKey::RecentDownloadsFolders);
    {
        ZRFolderRuleEditor editor(std::nullopt);
        editor.extensionsField()->setPlainText(QStringLiteral("flac"));
        int index = -1;
        for (int each = 0; each < editor.folderSelector()->count(); ++each) {
            if (editor.folderSelector()->itemText(each).contains(QStringLiteral("live-rule-folder")))
                index = each;
        }
        ASSERT_GE(index, 0);
        editor.chooseFolderItem(index);
        editor.done(QDialog::Accepted);
    }
    const ZRDownloadList made = download({QStringLiteral("/files/song.flac"), QStringLiteral("/files/notes.txt")});
    ASSERT_EQ(made.size(), 2);
    for (const ZRDownloadPtr &each : made)
        EXPECT_EQ(each->status(), ZRDownloadStatusComplete) << each->statusDescriptionWithFailureReason(false).toStdString();
    EXPECT_EQ(readFile(folder + QStringLiteral("/song.flac")), QByteArray(3000, 'f'));
    EXPECT_EQ(readFile(ZRDownloadsFolderPath() + QStringLiteral("/notes.txt")), QByteArray("notes"));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/notes.txt")));
}

// Two downloads of one site wait for credentials: one log-in window, and its answer continues both.
TEST_F(LiveDownloadsTest, ConfirmingTheLogInWindowContinuesBothWaitingDownloads)
{
    ASSERT_TRUE(nginx.addFile(QStringLiteral("private/a.txt"), "first file"));
    ASSERT_TRUE(nginx.addFile(QStringLiteral("private/b.txt"), "second file"));
    int windows = 0;
    QStringList typedInto;
    auto answering = answerModalWindows<ZRAuthenticationDialog>([&](ZRAuthenticationDialog *dialog) {
        ++windows;
        for (QLineEdit *field : dialog->findChildren<QLineEdit *>()) {
            if (!field->isVisibleTo(dialog))
                continue;
            const bool password = field->echoMode() == QLineEdit::Password;
            field->setText(password ? QStringLiteral("secret") : QStringLiteral("user"));
            typedInto.append(password ? QStringLiteral("password") : QStringLiteral("name"));
        }
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    const ZRDownloadList made = download({QStringLiteral("/private/a.txt"), QStringLiteral("/private/b.txt")});
    answering.reset();
    ASSERT_EQ(made.size(), 2);
    EXPECT_EQ(windows, 1);
    EXPECT_EQ(typedInto, (QStringList{QStringLiteral("name"), QStringLiteral("password")}));
    for (const ZRDownloadPtr &each : made)
        EXPECT_EQ(each->status(), ZRDownloadStatusComplete) << each->statusDescriptionWithFailureReason(false).toStdString();
    EXPECT_EQ(readFile(made.front()->path()) + readFile(made.back()->path()), QByteArray("first filesecond file"));
}

// Two days of history, one item directly in the menu: the newest item, the two days (filled when
// opened), "Clear History"; a search that finds one, and one that finds none.
TEST_F(PreferencesTest, HistoryMenuShowsDaysAndSearches)
{
    defaults().setInteger(1, NumberOfTopLevelHistoryItems);
    const QDateTime now = QDateTime::currentDateTime();
    QVariantList &history = ZRHistorian::historian()->history();
    const auto add = [&](const char *name, const QDateTime &date) {
        history.append(
            QVariantMap{{ZRHistoryKeys::Name, QString::fromLatin1(name)},
                        {ZRHistoryKeys::OriginalURL,
                         QString(QStringLiteral("http://127.0.0.1:9/") + QString::fromLatin1(name))},
                        {ZRHistoryKeys::Date, QVariant(date)}});
    };
    add("yesterday-1.zip", now.addDays(-1));
    add("yesterday-2.zip", now.addDays(-1).addSecs(60));
    add("today-1.iso", now.addSecs(-120));
    add("today-2.iso", now.addSecs(-60));

    ZRHistoryMenuView menu;
    menu.rebuild();
    QStringList titles;
    QList<QMenu *> days;
    for (QAction *action : menu.actions()) {
        if (action->isSeparator() || qobject_cast<QWidgetAction *>(action))
            continue;
        titles.append(action->text());
        if (action->menu() && action->text() != QStringLiteral("today-2.iso"))
            days.append(action->menu());
    }
    ASSERT_EQ(titles.size(), 4) << titles.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(titles.at(0), QStringLiteral("today-2.iso"));
    EXPECT_EQ(titles.at(1), ZRExtensions::relativeDateDescription(now, false));
    EXPECT_EQ(titles.at(2), ZRExtensions::relativeDateDescription(now.addDays(-1), false));
    EXPECT_EQ(titles.at(3), QStringLiteral("Clear History"));
    ASSERT_EQ(days.size(), 2);
    const auto submenuTitles = [](QMenu *submenu) {
        QStringList names;
        for (QAction *action : submenu->actions())
            names.append(action->text());
        return names;
    };
    EXPECT_EQ(submenuTitles(days.at(0)), QStringList{QStringLiteral("-")}) << "filled only when opened";
    menu.fillDaySubmenu(days.at(0));
    EXPECT_EQ(submenuTitles(days.at(0)), QStringList{QStringLiteral("today-1.iso")});
    menu.fillDaySubmenu(days.at(1));
    EXPECT_EQ(submenuTitles(days.at(1)),
              (QStringList{QStringLiteral("yesterday-2.zip"), QStringLiteral("yesterday-1.zip")}));

    const auto shown = [&menu] {
        QStringList names;
        for (QAction *action : menu.actions()) {
            if (!action->isSeparator() && !qobject_cast<QWidgetAction *>(action))
                names.append(action->text());
        }
        return names;
    };
    menu.searchField()->setText(QStringLiteral("YESTERDAY 1"));
    EXPECT_EQ(shown(), QStringList{QStringLiteral("yesterday-1.zip")});
    menu.searchField()->setText(QStringLiteral("nothing-like-it"));
    const QStringList none = shown();
    ASSERT_FALSE(none.isEmpty());
    EXPECT_EQ(none.first(), QStringLiteral("No Matches"));
    EXPECT_EQ(none.size(), 5) << "the whole menu follows";
}

// One picture per section, the rule editor, the rules editor and the log-in window, in the light
// and the dark palette; with QUORVEL_UPDATE_SCREENSHOTS=1 they are also written into docs/screenshots.
TEST_F(PreferencesTest, ScreenshotsOfEveryWindow)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QPalette light = QApplication::style()->standardPalette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 32));
    dark.setColor(QPalette::AlternateBase, QColor(40, 40, 44));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(55, 55, 60));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(60, 110, 200));
    dark.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    const bool update = qEnvironmentVariableIntValue("QUORVEL_UPDATE_SCREENSHOTS") == 1;
    QDir().mkpath(QStringLiteral(QUORVEL_SCREENSHOT_DIR));
    if (update)
        QDir().mkpath(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots"));
    // A window at its own size; a part of a window as the window lays it out.
    const auto save = [update](QWidget &widget, const QString &file) {
        if (widget.isWindow()) {
            widget.show();
            widget.adjustSize();
        }
        processEventsFor(20);
        const QImage image = widget.grab().toImage();
        EXPECT_FALSE(image.isNull()) << file.toStdString();
        EXPECT_TRUE(image.save(QStringLiteral(QUORVEL_SCREENSHOT_DIR "/") + file));
        if (update) {
            EXPECT_TRUE(image.save(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots/") + file));
        }
    };
    const QString folder = sandboxRoot() + QStringLiteral("/Music");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QVariantMap rule{{ZRFolderRuleKey::Hosts, QStringList{QStringLiteral("music.example.org")}},
                           {ZRFolderRuleKey::Extensions, QStringList{QStringLiteral("flac"), QStringLiteral("mp3")}},
                           {ZRFolderRuleKey::DownloadsFolder, folder}};
    defaults().setObject(QVariantList{rule}, ZRFolderRulesPreferenceKey::Rules);
    const QString pageRules = QStringLiteral(R"x([
	{
		"Source": "files\\.example\\.org/get/",
		"Query Cascade": [
			"href=\"(.+?\\.zip)\""
		],
		"Collect All Matches": true
	}
])x");
    for (const auto &[name, palette] :
         {std::pair{QStringLiteral("light"), light}, std::pair{QStringLiteral("dark"), dark}}) {
        QApplication::setPalette(palette);
        ZRPreferencesWindow shown;
        typeText(shown.rulesEditor(), pageRules);
        for (const QString &section : ZRPreferencesWindow::sectionNames()) {
            shown.showSection(section);
            save(shown, QStringLiteral("preferences-%1-%2.png").arg(section.toLower(), name));
        }
        shown.showSection(QStringLiteral("Advanced"));
        save(*shown.rulesEditor()->parentWidget(), QStringLiteral("rules-editor-%1.png").arg(name));
        ZRFolderRuleEditor editor(rule);
        save(editor, QStringLiteral("rule-editor-%1.png").arg(name));
        ZRAuthenticationQuestion question;
        question.host = QStringLiteral("files.example.org");
        question.scheme = QStringLiteral("NTLM");
        question.explanation =
            QStringLiteral("You need to log in before downloading \"report.pdf\" from \"Intranet\".");
        question.securityInfo = QStringLiteral("Your password will be submitted securely.");
        question.showsDomain = true;
        ZRAuthenticationDialog login(question);
        save(login, QStringLiteral("log-in-%1.png").arg(name));
    }
    QApplication::setPalette(light);
}

// The log-in window: the domain only for NTLM, the texts it is given, the fields as answer; a
// cancel answers nothing.
TEST(AuthenticationDialog, AsksForTheDomainOnlyWhenTheSchemeNeedsOne)
{
    for (const bool ntlm : {false, true}) {
        SCOPED_TRACE(ntlm ? "NTLM" : "Basic");
        ZRAuthenticationQuestion question;
        question.host = QStringLiteral("files.example");
        question.scheme = ntlm ? QStringLiteral("NTLM") : QStringLiteral("Basic");
        question.explanation = QStringLiteral("You need to log in before downloading \"a.zip\" from \"Vault\".");
        question.securityInfo = QStringLiteral("Your password will be submitted as plain text.");
        question.showsDomain = ntlm;
        question.storeInKeychain = false;
        std::optional<ZRAuthenticationAnswer> answer;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<ZRAuthenticationDialog *>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            EXPECT_EQ(dialog->showsDomain(), ntlm);
            QStringList texts;
            for (const QLabel *label : dialog->findChildren<QLabel *>())
                texts.append(label->text());
            EXPECT_TRUE(texts.contains(question.explanation));
            EXPECT_TRUE(texts.contains(question.securityInfo));
            const QList<QLineEdit *> fields = dialog->findChildren<QLineEdit *>();
            for (QLineEdit *field : fields) {
                if (field->echoMode() == QLineEdit::Password)
                    field->setText(QStringLiteral("s3cret "));
                else if (field->isVisibleTo(dialog) && field->text().isEmpty())
                    field->setText(fields.indexOf(field) == 0 ? QStringLiteral("CORP") : QStringLiteral("ann"));
            }
            dialog->findChild<QCheckBox *>()->setChecked(true);
            QDir().mkpath(QStringLiteral(QUORVEL_SCREENSHOT_DIR));
            dialog->grab().save(QStringLiteral(QUORVEL_SCREENSHOT_DIR "/log-in-%1.png").arg(question.scheme));
            dialog->accept();
        });
        answer = ZRAuthenticationDialog::ask(question, nullptr);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->password, QStringLiteral("s3cret ")) << "kept as typed";
        EXPECT_EQ(answer->domain, ntlm ? QStringLiteral("CORP") : QString());
        EXPECT_EQ(answer->username, QStringLiteral("ann"));
        EXPECT_TRUE(answer->storeInKeychain);

        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
        EXPECT_FALSE(ZRAuthenticationDialog::ask(question, nullptr));
    }
}

