// The preferences window: one page per section (General, Downloads, Speed, Schedule,
// Notifications, History, Advanced, Browser) chosen from a sidebar. Every control writes its key
// through the controller and shows the key's value again whenever it changes, whoever changed it.
//
// Pop-up tags the window defines itself:
//   "Full Screen Mode Behavior": 0 no full screen, 1 full screen (default), 2 maximised instead.
//   "Intermediates Location": 0 in Quorvel's data folder, 1 beside the downloads (default).
//   "Filename Extension Policy": 0 keep the server's name, 1 add an extension to names without
//   one (default), 2 also replace one that does not fit the type, 3 always the type's own.
//   "Last-Modified Header Adoption": 0 not used, 1 as the file's modification date.
//   "Auto-Resume After Sleep: Delay": the seconds (-1 never).
#pragma once

#include "app/control/ZRFolderMenu.h"
#include "app/ui/ZRJSONTextView.h"

#include <QHash>
#include <QStringList>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;
class QTimeEdit;
class QTimer;
class QTreeWidget;

// Main thread. Needs a QApplication.
class ZRPreferencesWindow : public QWidget, private ZRJSONTextViewValidator
{
    Q_OBJECT
public:
    explicit ZRPreferencesWindow(QWidget *parent = nullptr);
    ~ZRPreferencesWindow() override;

    static QStringList sectionNames();
    // Opens the window at the section (the one shown last when empty).
    void showSection(const QString &section);
    QString currentSection() const;

    // Tests and the screenshots: the control that shows the key (in the shared defaults for the
    // browser filter), none when the window has none.
    QWidget *controlForKey(const QString &key) const { return _controls.value(key); }
    QStringList controlledKeys() const { return _controls.keys(); }
    QLineEdit *throttleField() const { return _throttleField; }
    QTimer *throttleTimer() const { return _throttleTimer; }
    ZRJSONTextView *rulesEditor() const { return _rulesEditor; }
    QTreeWidget *folderRuleList() const { return _ruleList; }
    QComboBox *downloadsFolderSelector() const { return _folderSelector; }
    // Tests: runs instead of the modal rule editor (rule: none for a new one).
    void setRuleEditorHandlerForTesting(std::function<void(const std::optional<QVariantMap> &)> handler)
    {
        _ruleEditorHandler = std::move(handler);
    }

    // Every control shows its key again.
    void refreshAll();

private:
    // The download-page rules are checked and stored by the controller.
    std::optional<QVariant> validateObjectValue(const QVariant &object, ZRJSONTextView &textView) override;
    void didChangeObjectValueForTextView(ZRJSONTextView &textView) override;
    void didApplySyntaxHighlighting(ZRJSONTextView &textView, const QList<ZRJSONString> *strings) override;

    struct PopUpItem {
        qint64 tag;
        QString title;
    };
    QWidget *addSection(const QString &name, const QString &title);
    QFormLayout *addGroup(QWidget *section, const QString &title);
    QCheckBox *addSwitch(QFormLayout *form, const QString &key, const QString &title);
    // A number with its unit; the lowest value, shown as `unsetText`, removes the key so that the
    // default holds. Whole numbers are stored as integers.
    QDoubleSpinBox *addNumberField(QFormLayout *form, const QString &key, const QString &label, double maximum,
                                   int decimals, const QString &suffix, const QString &unsetText, double lowest = 0);
    // A text (or with `list`, host names apart by spaces or commas, stored as an array); empty
    // removes the key.
    QLineEdit *addTextField(QFormLayout *form, const QString &key, const QString &label, const QString &placeholder,
                            bool list);
    QComboBox *addPopUp(QFormLayout *form, const QString &key, const QString &label,
                        const QList<PopUpItem> &items, std::function<qint64()> current = {});
    void addRefresher(const QString &key, std::function<void()> refresh);
    void refreshKey(const QString &key);

    void buildGeneral();
    void buildDownloads();
    void buildSpeed();
    void buildSchedule();
    void buildNotifications();
    void buildHistory();
    void buildAdvanced();
    void buildBrowser();

    void fillFolderSelector();
    void fillRuleList();
    void editRule(const std::optional<QVariantMap> &rule);
    void applyThrottleField();
    void updateFilterFieldColor();
    void updateSubdivisionExamples();

    QListWidget *_sidebar = nullptr;
    QStackedWidget *_pages = nullptr;
    QStringList _sectionNames;
    QHash<QString, QWidget *> _controls;
    QMultiHash<QString, std::function<void()>> _refreshers;

    QLineEdit *_throttleField = nullptr;
    QTimer *_throttleTimer = nullptr;
    QLabel *_basicDownloadExplanation = nullptr;
    QLineEdit *_filterField = nullptr;
    QComboBox *_folderSelector = nullptr;
    QList<ZRFolderMenuItem> _folderItems;
    QTreeWidget *_ruleList = nullptr;
    QComboBox *_subdivisionDefault = nullptr;
    QComboBox *_subdivisionRules = nullptr;
    QLabel *_subdivisionExample = nullptr;
    QWidget *_subdivisionDateRow = nullptr;
    ZRJSONTextView *_rulesEditor = nullptr;
    std::function<void(const std::optional<QVariantMap> &)> _ruleEditorHandler;
};
