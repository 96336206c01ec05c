#include "app/ui/ZRPreferencesWindow.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/ui/ZRFolderRuleEditor.h"
#include "core/download/ZRDownloadKeys.h"
#include "core/download/ZRDownloadWorkerPrototype.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/download/ZRPopUpMenu.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRDateExtensions.h"
#include "core/text/ZRExtendedAttributes.h"
#include "core/text/ZRFolderRules.h"
#include "core/text/ZRPageRules.h"
#include "core/text/ZRTextKeys.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace ZRPreferenceKey;
namespace RuleKeys = ZRFolderRulesPreferenceKey;
namespace WorkerKeys = ZRDownloadWorkerDefaultsKeys;
namespace DownloadKeys = ZRDownloadDefaultsKeys;

namespace
{

ZRMainController *controller()
{
    return ZRMainController::mainController();
}

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRPreferencesWindow", key);
}

// The typing pause after which the throttle field's value is taken.
constexpr int throttleFieldDelayMilliseconds = 500;

const QString debugLogKey = QLatin1String(ZRDebugLogKey);
const QString spotlightCommentKey = QLatin1String(ZRStoreSourceURLInSpotlightCommentKey);

// The per-host pop-up as the queue sees it: its items enabled up to the total limit.
class ComboBoxPopUpMenu : public ZRPopUpMenu
{
public:
    explicit ComboBoxPopUpMenu(QComboBox *box) : _box(box) {}
    void setAutoenablesItems(bool) override {}
    int numberOfItems() const override { return _box->count(); }
    bool isSeparatorItemAtIndex(int index) const override
    {
        return _box->itemData(index, Qt::AccessibleDescriptionRole).toString() == QLatin1String("separator");
    }
    qint64 tagOfItemAtIndex(int index) const override { return _box->itemData(index).toLongLong(); }
    void setEnabledItemAtIndex(int index, bool enabled) override
    {
        if (auto *model = qobject_cast<QStandardItemModel *>(_box->model()))
            model->item(index)->setEnabled(enabled);
    }
    bool selectItemWithTag(qint64 tag) override
    {
        const int index = _box->findData(tag);
        if (index < 0)
            return false;
        const QSignalBlocker blocker(_box);
        _box->setCurrentIndex(index);
        return true;
    }

private:
    QComboBox *_box;
};

QTime scheduleTime(const QString &key, int defaultHour)
{
    return controller()->scheduleDateWithIdentifier(key, defaultHour, QDateTime()).time();
}

QString ruleDescription(const QVariantMap &rule)
{
    QStringList parts;
    const QString folder = rule.value(ZRFolderRuleKey::DownloadsFolder).toString();
    const QString application = rule.value(ZRFolderRuleKey::Application).toString();
    if (!folder.isEmpty())
        parts.append(localized("Download to %1").arg(folder));
    if (!application.isEmpty())
        parts.append(localized("Open with %1").arg(application));
    return parts.isEmpty() ? localized("Ineffective") : parts.join(QStringLiteral(", "));
}

} // namespace

ZRPreferencesWindow::ZRPreferencesWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("PreferencesWindow"));
    setWindowTitle(localized("Quorvel Preferences"));
    auto *layout = new QHBoxLayout(this);
    _sidebar = new QListWidget(this);
    _sidebar->setObjectName(QStringLiteral("PreferencesSidebar"));
    _sidebar->setSelectionMode(QAbstractItemView::SingleSelection);
    _pages = new QStackedWidget(this);
    layout->addWidget(_sidebar);
    layout->addWidget(_pages, 1);

    buildGeneral();
    buildDownloads();
    buildSpeed();
    buildSchedule();
    buildNotifications();
    buildHistory();
    buildAdvanced();
    buildBrowser();

    _sidebar->setFixedWidth(_sidebar->sizeHintForColumn(0) + 2 * _sidebar->frameWidth() + 24);
    connect(_sidebar, &QListWidget::currentRowChanged, _pages, &QStackedWidget::setCurrentIndex);
    _sidebar->setCurrentRow(0);

    connect(&defaults(), &ZRUserDefaults::valueChanged, this, &ZRPreferencesWindow::refreshKey);
    connect(&ZRUserDefaults::sharedGroupDefaults(), &ZRUserDefaults::valueChanged, this,
            [this](const QString &key) {
                if (key == SafariExtensionFilter)
                    refreshKey(key);
            });
    refreshAll();
    // Tall enough for the longest section, so that no page scrolls or clips.
    QSize largest;
    for (int index = 0; index < _pages->count(); ++index)
        largest = largest.expandedTo(_pages->widget(index)->sizeHint());
    _pages->setMinimumSize(largest);
}

ZRPreferencesWindow::~ZRPreferencesWindow() = default;

QStringList ZRPreferencesWindow::sectionNames()
{
    return {QStringLiteral("General"),  QStringLiteral("Downloads"),     QStringLiteral("Speed"),
            QStringLiteral("Schedule"), QStringLiteral("Notifications"), QStringLiteral("History"),
            QStringLiteral("Advanced"), QStringLiteral("Browser")};
}

void ZRPreferencesWindow::showSection(const QString &section)
{
    const qsizetype index = _sectionNames.indexOf(section);
    if (index >= 0)
        _sidebar->setCurrentRow(int(index));
    show();
    raise();
    activateWindow();
}

QString ZRPreferencesWindow::currentSection() const
{
    return _sectionNames.value(_sidebar->currentRow());
}

// --- Building blocks ---

QWidget *ZRPreferencesWindow::addSection(const QString &name, const QString &title)
{
    _sectionNames.append(name);
    _sidebar->addItem(title);
    auto *page = new QWidget(_pages);
    page->setObjectName(name);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 0, 0, 0);
    _pages->addWidget(page);
    return page;
}

QFormLayout *ZRPreferencesWindow::addGroup(QWidget *section, const QString &title)
{
    auto *group = new QGroupBox(title, section);
    auto *form = new QFormLayout(group);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    auto *layout = static_cast<QVBoxLayout *>(section->layout());
    // Groups stay at the top; the stretch below them takes the rest.
    if (layout->count() > 0 && layout->itemAt(layout->count() - 1)->spacerItem())
        delete layout->takeAt(layout->count() - 1);
    layout->addWidget(group);
    layout->addStretch(1);
    return form;
}

void ZRPreferencesWindow::addRefresher(const QString &key, std::function<void()> refresh)
{
    _refreshers.insert(key, std::move(refresh));
}

void ZRPreferencesWindow::refreshKey(const QString &key)
{
    const QList<std::function<void()>> refreshers = _refreshers.values(key);
    for (const auto &refresh : refreshers)
        refresh();
}

void ZRPreferencesWindow::refreshAll()
{
    for (auto it = _refreshers.cbegin(); it != _refreshers.cend(); ++it)
        it.value()();
}

QCheckBox *ZRPreferencesWindow::addSwitch(QFormLayout *form, const QString &key, const QString &title)
{
    auto *box = new QCheckBox(title, form->parentWidget());
    box->setObjectName(key);
    form->addRow(box);
    _controls.insert(key, box);
    connect(box, &QCheckBox::toggled, this,
            [key](bool on) { controller()->toggleBooleanPreference(key, on); });
    addRefresher(key, [box, key] {
        const QSignalBlocker blocker(box);
        box->setChecked(defaults().boolForKey(key));
    });
    return box;
}

QDoubleSpinBox *ZRPreferencesWindow::addNumberField(QFormLayout *form, const QString &key, const QString &label,
                                                   double maximum, int decimals, const QString &suffix,
                                                   const QString &unsetText, double lowest)
{
    auto *field = new QDoubleSpinBox(form->parentWidget());
    field->setObjectName(key);
    field->setRange(lowest, maximum);
    field->setDecimals(decimals);
    field->setSingleStep(decimals > 0 ? 0.5 : 1);
    field->setSuffix(suffix);
    field->setSpecialValueText(unsetText);
    field->setKeyboardTracking(false);
    field->setAccelerated(true);
    form->addRow(label, field);
    _controls.insert(key, field);
    connect(field, &QDoubleSpinBox::valueChanged, this, [field, key, decimals](double value) {
        if (value <= field->minimum())
            defaults().removeObjectForKey(key);
        else if (decimals == 0)
            defaults().setInteger(qint64(value), key);
        else
            defaults().setDouble(value, key);
    });
    addRefresher(key, [field, key] {
        const QSignalBlocker blocker(field);
        const QVariant stored = defaults().objectForKey(key);
        field->setValue(stored.isValid() ? std::max(stored.toDouble(), field->minimum()) : field->minimum());
    });
    return field;
}

QLineEdit *ZRPreferencesWindow::addTextField(QFormLayout *form, const QString &key, const QString &label,
                                             const QString &placeholder, bool list)
{
    auto *field = new QLineEdit(form->parentWidget());
    field->setObjectName(key);
    field->setPlaceholderText(placeholder);
    form->addRow(label, field);
    _controls.insert(key, field);
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    connect(field, &QLineEdit::editingFinished, this, [field, key, list] {
        const QString text = field->text().trimmed();
        if (text.isEmpty())
            defaults().removeObjectForKey(key);
        else if (list)
            defaults().setObject(text.split(separators, Qt::SkipEmptyParts), key);
        else
            defaults().setObject(text, key);
    });
    addRefresher(key, [field, key, list] {
        const QString stored = list ? defaults().stringArrayForKey(key).join(QStringLiteral(", "))
                                    : defaults().stringForKey(key);
        if (!field->hasFocus())
            field->setText(stored);
    });
    return field;
}

QComboBox *ZRPreferencesWindow::addPopUp(QFormLayout *form, const QString &key, const QString &label,
                                         const QList<PopUpItem> &items, std::function<qint64()> current)
{
    auto *box = new QComboBox(form->parentWidget());
    box->setObjectName(key);
    for (const PopUpItem &item : items) {
        if (item.title.isEmpty())
            box->insertSeparator(box->count());
        else
            box->addItem(item.title, item.tag);
    }
    form->addRow(label, box);
    _controls.insert(key, box);
    if (!current)
        current = [key] { return defaults().integerForKey(key); };
    auto select = [box, current] {
        const QSignalBlocker blocker(box);
        box->setCurrentIndex(box->findData(current()));
    };
    connect(box, &QComboBox::activated, this, [this, box, key, select](int index) {
        const qint64 tag = box->itemData(index).toLongLong();
        ComboBoxPopUpMenu perHost(
            qobject_cast<QComboBox *>(_controls.value(NumberOfConcurrentDownloadsPerHost)));
        if (!controller()->changeListPreference(key, tag,
                                                key == NumberOfConcurrentDownloads ? &perHost : nullptr))
            select();
    });
    addRefresher(key, select);
    return box;
}

// --- Sections ---

void ZRPreferencesWindow::buildGeneral()
{
    QWidget *section = addSection(QStringLiteral("General"), localized("General"));
    QFormLayout *launch = addGroup(section, localized("Launching and Quitting"));
    addPopUp(launch, ApplicationMode, localized("Show Quorvel as:"),
             {{0, localized("Window in the taskbar")},
              {1, localized("Tray item only")},
              {2, localized("Window and tray item")}});
    addSwitch(launch, MainWindowVisibleOnLaunch, localized("Show the download window at launch"));
    addSwitch(launch, BackgroundLaunch, localized("Launch in the background"));
    addSwitch(launch, RememberSelection, localized("Remember the selected downloads"));
    addPopUp(launch, QuitProcedure, localized("On quitting:"),
             {{0, localized("Ask while downloads are active")}, {1, localized("Quit without asking")}});
    auto *quitOnClose = new QCheckBox(localized("Closing the window quits"), section);
    quitOnClose->setObjectName(QuitOnClose);
    quitOnClose->setTristate(true);
    quitOnClose->setToolTip(localized("Partly ticked: only while no download is active."));
    launch->addRow(quitOnClose);
    _controls.insert(QuitOnClose, quitOnClose);
    connect(quitOnClose, &QCheckBox::stateChanged, this, [](int state) {
        controller()->setQuitOnCloseState(state == Qt::PartiallyChecked ? 1 : state == Qt::Checked ? 2 : 0);
    });
    const auto showQuitOnClose = [quitOnClose] {
        const QSignalBlocker blocker(quitOnClose);
        const int state = ZRMainController::quitOnCloseState();
        quitOnClose->setCheckState(state == 1   ? Qt::PartiallyChecked
                                   : state == 2 ? Qt::Checked
                                                : Qt::Unchecked);
    };
    addRefresher(QuitOnClose, showQuitOnClose);
    addRefresher(QuitOnCloseCleanSlateOnly, showQuitOnClose);
    addSwitch(launch, RemoveInactiveDuplicatesOnQuit, localized("Drop inactive duplicates when quitting"));
    addPopUp(launch, AutoResumeAfterSleepDelay, localized("After sleep, resume:"),
             {{0, localized("At once")},
              {3, localized("After 3 seconds")},
              {10, localized("After 10 seconds")},
              {30, localized("After 30 seconds")},
              {60, localized("After a minute")},
              {-1, localized("Never")}});

    QFormLayout *intake = addGroup(section, localized("New Downloads"));
    addSwitch(intake, AutoStart, localized("Start downloads automatically"));
    addSwitch(intake, InstantDuplicateCheck, localized("Skip addresses already in the list"));
    addSwitch(intake, SkipRedirectingServices, localized("Unwrap addresses of redirecting services"));
    addPopUp(intake, AutoRetreat, localized("After adding:"),
             {{0, localized("Stay in front")},
              {1, localized("Step back behind the previous window")},
              {2, localized("Hide")}});

    QFormLayout *window = addGroup(section, localized("Window"));
    addSwitch(window, RubberWindow, localized("Window height follows the number of downloads"));
    addSwitch(window, UselessAnimations, localized("Animate rows and the window"));
    addPopUp(
        window, FullScreenModeBehavior, localized("Full screen:"),
        {{0, localized("Not allowed")}, {1, localized("Full screen")}, {2, localized("Maximise instead")}});
}

void ZRPreferencesWindow::buildDownloads()
{
    QWidget *section = addSection(QStringLiteral("Downloads"), localized("Downloads"));
    QFormLayout *folders = addGroup(section, localized("Folders"));
    _folderSelector = new QComboBox(section);
    _folderSelector->setObjectName(RuleKeys::DownloadsFolder);
    folders->addRow(localized("Download to:"), _folderSelector);
    _controls.insert(RuleKeys::DownloadsFolder, _folderSelector);
    connect(_folderSelector, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < _folderItems.size())
            controller()->changeDownloadsFolderFromMenuItem(_folderItems.at(index));
        // A cancelled "Other..." leaves the folder as it was: show it again.
        fillFolderSelector();
    });
    for (const QString &key : {QString(RuleKeys::DownloadsFolder), QString(RuleKeys::RecentDownloadsFolders),
                               QString(RuleKeys::SortDownloadsFoldersByName)})
        addRefresher(key, [this] { fillFolderSelector(); });
    addSwitch(folders, RuleKeys::SortDownloadsFoldersByName, localized("Sort folders by name"));
    addSwitch(folders, DownloadFolderPromptAllowsFilenameEditing,
              localized("Ask for a file name when Shift is held for one address"));
    addPopUp(folders, IntermediatesLocation, localized("Unfinished downloads:"),
             {{1, localized("Beside the finished files")}, {0, localized("In Quorvel's own folder")}});

    QFormLayout *subfolders = addGroup(section, localized("Subfolders by Date"));
    const auto addFormatField = [&](const QString &key, const QString &label) {
        auto *field = new QComboBox(section);
        field->setObjectName(key);
        field->setEditable(true);
        field->setInsertPolicy(QComboBox::NoInsert);
        field->lineEdit()->setPlaceholderText(localized("None"));
        for (const auto &suggestion : controller()->subdivisionFormatSuggestions())
            field->addItem(suggestion.pattern + QStringLiteral("  \u2014  ") + suggestion.example,
                           suggestion.pattern);
        subfolders->addRow(label, field);
        _controls.insert(key, field);
        const auto store = [this, field, key](const QString &text) {
            controller()->setSubdivisionFormat(key, text);
            updateSubdivisionExamples();
            (void)field;
        };
        connect(field->lineEdit(), &QLineEdit::textEdited, this, store);
        connect(field, &QComboBox::activated, this, [field, store](int index) {
            const QString pattern = field->itemData(index).toString();
            field->setEditText(pattern);
            store(pattern);
        });
        addRefresher(key, [this, field, key] {
            const QString stored = defaults().stringForKey(key);
            if (field->currentText().trimmed() != stored.trimmed())
                field->setEditText(stored);
            updateSubdivisionExamples();
        });
        return field;
    };
    _subdivisionDefault =
        addFormatField(RuleKeys::SubdivisionFormatDefault, localized("In the downloads folder:"));
    _subdivisionRules = addFormatField(RuleKeys::SubdivisionFormatRules, localized("In rule folders:"));
    _subdivisionExample = new QLabel(section);
    _subdivisionExample->setObjectName(QStringLiteral("SubdivisionExample"));
    subfolders->addRow(QString(), _subdivisionExample);
    QComboBox *date = addPopUp(subfolders, RuleKeys::SubdivisionFormatDate, localized("Date:"),
                               {{0, localized("Today's date")}, {1, localized("The download's own date")}});
    _subdivisionDateRow = date;
    addSwitch(subfolders, RuleKeys::SubdivisionFormatAllowDashes,
              localized("Keep slashes of the local date formats"));

    QFormLayout *rules = addGroup(section, localized("Rules"));
    _ruleList = new QTreeWidget(section);
    _ruleList->setObjectName(RuleKeys::Rules);
    _ruleList->setColumnCount(2);
    _ruleList->setHeaderLabels({localized("Hosts and Extensions"), localized("Effect")});
    _ruleList->setRootIsDecorated(false);
    _ruleList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    _ruleList->setMinimumHeight(90);
    _ruleList->setMaximumHeight(120);
    rules->addRow(_ruleList);
    _controls.insert(RuleKeys::Rules, _ruleList);
    auto *buttons = new QHBoxLayout;
    auto *define = new QPushButton(localized("Define Rule..."), section);
    auto *edit = new QPushButton(localized("Edit..."), section);
    auto *remove = new QPushButton(localized("Remove"), section);
    buttons->addWidget(define);
    buttons->addWidget(edit);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    rules->addRow(buttons);
    const auto selectedRule = [this]() -> std::optional<QVariantMap> {
        QTreeWidgetItem *item = _ruleList->currentItem();
        if (!item)
            return std::nullopt;
        return item->data(0, Qt::UserRole).toMap();
    };
    connect(define, &QPushButton::clicked, this, [this] { editRule(std::nullopt); });
    connect(edit, &QPushButton::clicked, this, [this, selectedRule] {
        if (const auto rule = selectedRule())
            editRule(rule);
    });
    connect(_ruleList, &QTreeWidget::itemActivated, this, [this, selectedRule] {
        if (const auto rule = selectedRule())
            editRule(rule);
    });
    connect(remove, &QPushButton::clicked, this, [selectedRule] {
        if (const auto rule = selectedRule())
            controller()->removeSpecialCase(*rule);
    });
    const auto enableButtons = [this, edit, remove] {
        edit->setEnabled(_ruleList->currentItem());
        remove->setEnabled(_ruleList->currentItem());
    };
    connect(_ruleList, &QTreeWidget::currentItemChanged, this, enableButtons);
    addRefresher(RuleKeys::Rules, [this, enableButtons] {
        fillRuleList();
        enableButtons();
    });

    QFormLayout *files = addGroup(section, localized("Finished Files"));
    addSwitch(files, DownloadKeys::RevealByLaunching,
              localized("The row's action opens the file instead of showing it"));
    addSwitch(files, spotlightCommentKey, localized("Write the source address into the file comment"));
    addPopUp(files, WorkerKeys::FilenameExtensionPolicy, localized("File name extensions:"),
             {{0, localized("Keep the server's name")},
              {1, localized("Add one to names without")},
              {2, localized("Also replace one that does not fit")},
              {3, localized("Always the type's own")}},
             [] { return ZRDownloadWorkerPrototype::extensionPolicy(); });
    addPopUp(files, DownloadKeys::LastModifiedHeaderAdoption, localized("Server's modification date:"),
             {{0, localized("Not used")}, {1, localized("Given to the file")}});
}

void ZRPreferencesWindow::buildSpeed()
{
    QWidget *section = addSection(QStringLiteral("Speed"), localized("Speed"));
    QFormLayout *queue = addGroup(section, localized("Queue"));
    QList<PopUpItem> counts;
    for (qint64 count = 1; count <= 9; ++count)
        counts.append({count, QString::number(count)});
    counts.append({0, QString()});
    counts.append({0, localized("Unlimited")});
    addPopUp(queue, NumberOfConcurrentDownloads, localized("Downloads at once:"), counts,
             [] { return ZRDownload::numberOfConcurrentDownloads(); });
    QComboBox *perHost =
        addPopUp(queue, NumberOfConcurrentDownloadsPerHost, localized("Downloads per server:"), counts,
                 [] { return ZRDownload::numberOfConcurrentDownloadsPerHost(); });
    const auto updatePerHost = [perHost] {
        ComboBoxPopUpMenu menu(perHost);
        ZRDownload::updateNumberOfConcurrentDownloadsPerHostSelector(&menu);
    };
    addRefresher(NumberOfConcurrentDownloads, updatePerHost);
    addRefresher(NumberOfConcurrentDownloadsPerHost, updatePerHost);
    addSwitch(queue, DownloadKeys::AutoResume, localized("Retry failed downloads automatically"));
    addNumberField(queue, DownloadKeys::AutoResumeDelay, localized("Retry after:"), 3600, 1, localized(" s"),
                   localized("1 s (default)"));
    addNumberField(queue, DownloadKeys::AutoResumeIntervalThreshold, localized("Not again within:"), 3600, 1,
                   localized(" s"), localized("5 s (default)"));

    QFormLayout *acceleration = addGroup(section, localized("Acceleration"));
    addSwitch(acceleration, DownloadKeys::AccelerationEnabled, localized("Accelerate downloads"));
    QList<PopUpItem> channels;
    for (qint64 count = 2; count <= 9; ++count)
        channels.append({count, QString::number(count)});
    addPopUp(acceleration, DownloadKeys::AccelerationChannels, localized("Connections per download:"),
             channels, [] { return ZRDownload::accelerationFactor(); });
    addSwitch(acceleration, DownloadKeys::DisplayAccelerationConnections,
              localized("Show the number of connections"));
    addNumberField(acceleration, DownloadKeys::AccelerationMinimumFractionSize, localized("Smallest part:"),
                   1e9, 0, localized(" bytes"), localized("100000 bytes (default)"));
    addTextField(acceleration, DownloadKeys::AccelerationHostWhitelist, localized("Always accelerate:"),
                 localized("host names"), true);
    addTextField(acceleration, DownloadKeys::AccelerationHostBlacklist, localized("Never accelerate:"),
                 localized("host names"), true);

    QFormLayout *throttle = addGroup(section, localized("Bandwidth"));
    addSwitch(throttle, WorkerKeys::ThrottleEnabled, localized("Limit the bandwidth of all downloads"));
    _throttleField = new QLineEdit(section);
    _throttleField->setObjectName(WorkerKeys::ThrottleLimit);
    auto *suggestions = new QComboBox(section);
    suggestions->setEditable(true);
    suggestions->setLineEdit(_throttleField);
    suggestions->addItems(ZRMainController::throttleFieldSuggestions());
    suggestions->setInsertPolicy(QComboBox::NoInsert);
    auto *row = new QHBoxLayout;
    row->addWidget(suggestions, 1);
    row->addWidget(new QLabel(localized("KB per second"), section));
    throttle->addRow(localized("Limit:"), row);
    _controls.insert(WorkerKeys::ThrottleLimit, _throttleField);
    _throttleTimer = new QTimer(this);
    _throttleTimer->setSingleShot(true);
    _throttleTimer->setInterval(throttleFieldDelayMilliseconds);
    connect(_throttleTimer, &QTimer::timeout, this, &ZRPreferencesWindow::applyThrottleField);
    connect(_throttleField, &QLineEdit::textEdited, _throttleTimer, qOverload<>(&QTimer::start));
    connect(suggestions, &QComboBox::activated, this, &ZRPreferencesWindow::applyThrottleField);
    addRefresher(WorkerKeys::ThrottleLimit, [this] {
        // Not while the user is typing a value of their own.
        if (!_throttleTimer->isActive())
            _throttleField->setText(ZRMainController::throttleFieldText());
    });

    QFormLayout *requests = addGroup(section, localized("Requests"));
    auto *userAgent = new QLineEdit(section);
    userAgent->setObjectName(WorkerKeys::CustomUserAgent);
    userAgent->setPlaceholderText(ZRDownloadWorkerPrototype::defaultUserAgent());
    userAgent->setMinimumWidth(userAgent->fontMetrics().horizontalAdvance(userAgent->placeholderText()) + 16);
    requests->addRow(localized("User agent:"), userAgent);
    _controls.insert(WorkerKeys::CustomUserAgent, userAgent);
    connect(userAgent, &QLineEdit::textEdited, this,
            [](const QString &text) { controller()->setCustomUserAgent(text); });
    addRefresher(WorkerKeys::CustomUserAgent, [userAgent] {
        const QString stored = defaults().stringForKey(WorkerKeys::CustomUserAgent);
        if (userAgent->text().trimmed() != stored)
            userAgent->setText(stored);
    });
}

void ZRPreferencesWindow::buildSchedule()
{
    QWidget *section = addSection(QStringLiteral("Schedule"), localized("Schedule"));
    const auto addSchedule = [&](const QString &title, const QString &key, const QString &timeKey,
                                 int defaultHour, const QString &switchTitle, bool queuing) {
        QFormLayout *form = addGroup(section, title);
        auto *box = new QCheckBox(switchTitle, section);
        box->setObjectName(key);
        auto *time = new QTimeEdit(section);
        time->setObjectName(timeKey);
        time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        auto *row = new QHBoxLayout;
        row->addWidget(box);
        row->addWidget(time);
        row->addStretch(1);
        form->addRow(row);
        _controls.insert(key, box);
        _controls.insert(timeKey, time);
        connect(box, &QCheckBox::toggled, this, [key, queuing](bool on) {
            // The controller flips the setting; only a real change is passed on.
            if (defaults().boolForKey(key) == on)
                return;
            if (queuing)
                controller()->toggleScheduledQueuing();
            else
                controller()->toggleScheduledPausing();
        });
        connect(time, &QTimeEdit::timeChanged, this, [queuing](const QTime &value) {
            controller()->changeScheduledTime(QDateTime(QDate::currentDate(), value), queuing);
        });
        addRefresher(key, [box, time, key] {
            const QSignalBlocker blocker(box);
            box->setChecked(defaults().boolForKey(key));
            time->setEnabled(box->isChecked());
        });
        addRefresher(timeKey, [time, timeKey, defaultHour] {
            const QSignalBlocker blocker(time);
            time->setTime(scheduleTime(timeKey, defaultHour));
        });
        return form;
    };
    addSchedule(localized("Starting"), ScheduleQueue, ScheduleQueueTime, 22,
                localized("Start all downloads at"), true);
    QFormLayout *pause = addSchedule(localized("Pausing"), SchedulePause, SchedulePauseTime, 6,
                                     localized("Pause waiting downloads at"), false);
    auto *radical = new QCheckBox(localized("Also pause running downloads"), section);
    radical->setObjectName(SchedulePauseRadical);
    pause->addRow(radical);
    _controls.insert(SchedulePauseRadical, radical);
    connect(radical, &QCheckBox::toggled, this,
            [](bool on) { controller()->setScheduledPausingRadical(on); });
    addRefresher(SchedulePauseRadical, [radical] {
        const QSignalBlocker blocker(radical);
        radical->setChecked(defaults().boolForKey(SchedulePauseRadical));
    });
    auto *note = new QLabel(localized("The schedule repeats every day."), section);
    note->setWordWrap(true);
    static_cast<QVBoxLayout *>(section->layout())->insertWidget(section->layout()->count() - 1, note);
}

void ZRPreferencesWindow::buildNotifications()
{
    QWidget *section = addSection(QStringLiteral("Notifications"), localized("Notifications"));
    QFormLayout *done = addGroup(section, localized("Finished Downloads"));
    addSwitch(done, AutoClearSuccesses, localized("Remove complete downloads from the list"));
    addSwitch(done, AutoClearLemons, localized("Remove failed downloads from the list"));
    addSwitch(done, AutoQuit, localized("Quit when all downloads are done"));
    const QList<PopUpItem> when{{0, localized("Never")},
                                {1, localized("For every finished download")},
                                {2, localized("When all downloads are done")}};
    addPopUp(done, SuccessBounceMode, localized("Flash the taskbar entry:"), when);
    addPopUp(done, SuccessHeartbeatMode, localized("Play the heartbeat sound:"), when);
    addSwitch(done, SwapDockCounters, localized("The launcher count shows waiting and paused downloads"));

    QFormLayout *notifications = addGroup(section, localized("Desktop Notifications"));
    addSwitch(notifications, CoalesceUserNotifications, localized("Merge notifications of one kind"));
    addSwitch(notifications, InvertUserNotifications, localized("Newest line first in merged notifications"));

    QFormLayout *privacy = addGroup(section, localized("Private Downloading"));
    addSwitch(privacy, PrivateDownloading, localized("Download privately (names hidden, no history)"));
    addSwitch(privacy, PrivateDownloadingSendsUserNotifications, localized("Notify all the same"));
    addSwitch(privacy, DownloadKeys::PrivateDownloadingAddsGenericPrefix,
              localized("Hidden names start with \"Download\""));
    addSwitch(privacy, DownloadKeys::PrivateDownloadingPreservesExtensions,
              localized("Hidden names keep their extension"));
}

void ZRPreferencesWindow::buildHistory()
{
    QWidget *section = addSection(QStringLiteral("History"), localized("History"));
    QFormLayout *form = addGroup(section, localized("History"));
    QComboBox *items = addPopUp(form, NumberOfHistoryItems, localized("Remember:"),
                                {{0, localized("Nothing")},
                                 {10, localized("10 downloads")},
                                 {25, localized("25 downloads")},
                                 {50, localized("50 downloads")},
                                 {100, localized("100 downloads")},
                                 {250, localized("250 downloads")},
                                 {500, localized("500 downloads")},
                                 {1000, localized("1000 downloads")},
                                 {-1, localized("Everything")}});
    addPopUp(form, NumberOfTopLevelHistoryItems, localized("Directly in the menu:"),
             {{0, localized("None")},
              {5, QStringLiteral("5")},
              {10, QStringLiteral("10")},
              {15, QStringLiteral("15")},
              {20, QStringLiteral("20")},
              {30, QStringLiteral("30")}});
    QCheckBox *complete = addSwitch(form, HistoryOfCompleteDownloads, localized("Only complete downloads"));
    QCheckBox *clear = addSwitch(form, ClearHistoryOnQuit, localized("Clear the history when quitting"));
    addSwitch(form, HistoryArchivesDownloadsByDateCompleted, localized("Date downloads by their completion"));
    // The two switches mean nothing while the history keeps nothing.
    addRefresher(NumberOfHistoryItems, [complete, clear] {
        const bool keeps = defaults().integerForKey(NumberOfHistoryItems) != 0;
        complete->setEnabled(keeps);
        clear->setEnabled(keeps);
    });
    (void)items;
}

void ZRPreferencesWindow::buildAdvanced()
{
    QWidget *section = addSection(QStringLiteral("Advanced"), localized("Advanced"));
    QFormLayout *engine = addGroup(section, localized("Engine"));
    auto *basic = new QCheckBox(localized("Basic download (no bandwidth limit, no acceleration)"), section);
    basic->setObjectName(WorkerKeys::ThrottleSupported);
    engine->addRow(basic);
    _controls.insert(WorkerKeys::ThrottleSupported, basic);
    _basicDownloadExplanation = new QLabel(localized("Takes effect when Quorvel is started again."), section);
    _basicDownloadExplanation->setVisible(false);
    engine->addRow(_basicDownloadExplanation);
    connect(basic, &QCheckBox::toggled, this, [this](bool on) {
        _basicDownloadExplanation->setVisible(controller()->setBasicDownloadMode(on));
    });
    addRefresher(WorkerKeys::ThrottleSupported, [basic] {
        const QSignalBlocker blocker(basic);
        basic->setChecked(!defaults().boolForKey(WorkerKeys::ThrottleSupported));
    });
    addSwitch(engine, StorePasswordsInKeychain, localized("Remember passwords in the keyring"));
    addSwitch(engine, StoreMetadataLocally, localized("Keep a description file in each unfinished download"));
    addSwitch(engine, debugLogKey, localized("Write debug lines to the log"));
    addNumberField(engine, ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval, localized("Request time-out:"), 3600,
                   0, localized(" s"), localized("60 s (default)"));
    addNumberField(engine, ZRDownloadWorkerDefaultsKeys::MaximumConcurrentOperations,
                   localized("Connections at most:"), 1000, 0, QString(), localized("64 (default)"));
    addNumberField(engine, URLOpeningInterval, localized("Between source pages opened:"), 60, 1, localized(" s"),
                   localized("0.1 s (default)"));

    QFormLayout *display = addGroup(section, localized("Display"));
    addSwitch(display, DisplayLocationsAsNames, localized("Show locations by name"));
    addSwitch(display, UseStatusItemMetaSubmenu, localized("Tray menu: program items in a submenu"));
    addSwitch(display, ZRTextDefaultsKeys::NumbersDisableGroupingSeparator,
              localized("Sizes without digit grouping"));
    addSwitch(display, ZRTextDefaultsKeys::NumbersLeaveUnlocalized, localized("Sizes in the C locale"));
    addNumberField(display, ZRTextDefaultsKeys::NumbersFractionDigits, localized("Digits after the point:"), 6, 0,
                   QString(), localized("Automatic"), -1);
    // Sizes are formatted by one formatter made at start.
    auto *numbersNote = new QLabel(localized("Number settings take effect when Quorvel is started again."), section);
    numbersNote->setWordWrap(true);
    display->addRow(numbersNote);
    addTextField(display, ZRTextDefaultsKeys::IgnorableSortingPrefixes, localized("Ignored in sorting:"),
                 QStringLiteral("a an the"), false);

    auto *group = new QGroupBox(localized("Download Page Rules"), section);
    auto *layout = new QVBoxLayout(group);
    _rulesEditor = new ZRJSONTextView(group);
    _rulesEditor->setObjectName(RuleKeys::DownloadPageRules);
    _rulesEditor->setValidator(this);
    _rulesEditor->setMinimumHeight(150);
    layout->addWidget(_rulesEditor);
    auto *hint = new QLabel(
        localized("JSON, QSON or a property list; right-click to rewrite. Empty: the built-in rules."),
        group);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    auto *sectionLayout = static_cast<QVBoxLayout *>(section->layout());
    delete sectionLayout->takeAt(sectionLayout->count() - 1);
    sectionLayout->addWidget(group, 1);
    _controls.insert(RuleKeys::DownloadPageRules, _rulesEditor);
    addRefresher(RuleKeys::DownloadPageRules, [this] {
        const QVariant stored = defaults().objectForKey(RuleKeys::DownloadPageRules);
        const QString text = stored.typeId() == QMetaType::QString && !stored.toString().isEmpty()
                                 ? stored.toString()
                                 : ZRPageRules::defaultRulesText();
        if (_rulesEditor->text() != text)
            _rulesEditor->setText(text);
    });
}

void ZRPreferencesWindow::buildBrowser()
{
    QWidget *section = addSection(QStringLiteral("Browser"), localized("Browser"));
    QFormLayout *form = addGroup(section, localized("Browser Extension"));
    _filterField = new QLineEdit(section);
    _filterField->setObjectName(SafariExtensionFilter);
    _filterField->setPlaceholderText(localized("a regular expression, such as \\.(zip|iso)$"));
    form->addRow(localized("Offer links that match:"), _filterField);
    auto *note =
        new QLabel(localized("The browser extension offers to download only the links whose address matches "
                             "this pattern (case ignored); grey: it is not used as it stands."),
                   section);
    note->setWordWrap(true);
    form->addRow(note);
    _controls.insert(SafariExtensionFilter, _filterField);
    connect(_filterField, &QLineEdit::textEdited, this, [this](const QString &text) {
        controller()->setSafariExtensionFilter(text);
        updateFilterFieldColor();
    });
    addRefresher(SafariExtensionFilter, [this] {
        const QString stored = ZRMainController::safariExtensionFilter();
        if (_filterField->text() != stored)
            _filterField->setText(stored);
        updateFilterFieldColor();
    });
}

// --- Behaviour ---

void ZRPreferencesWindow::applyThrottleField()
{
    _throttleTimer->stop();
    _throttleField->setText(controller()->updateThrottleLimit(_throttleField->text()));
}

void ZRPreferencesWindow::updateFilterFieldColor()
{
    QPalette palette = _filterField->palette();
    palette.setColor(QPalette::Active, QPalette::Text,
                     ZRMainController::isUsableSafariExtensionFilter(_filterField->text())
                         ? QApplication::palette().color(QPalette::Active, QPalette::Text)
                         : QApplication::palette().color(QPalette::Disabled, QPalette::Text));
    palette.setColor(QPalette::Inactive, QPalette::Text, palette.color(QPalette::Active, QPalette::Text));
    _filterField->setPalette(palette);
}

void ZRPreferencesWindow::updateSubdivisionExamples()
{
    const QString pattern = !_subdivisionDefault->currentText().trimmed().isEmpty()
                                ? _subdivisionDefault->currentText()
                                : _subdivisionRules->currentText();
    if (pattern.trimmed().isEmpty()) {
        _subdivisionExample->setText(localized("Downloads go straight into their folder."));
    } else {
        const QString example =
            ZRExtensions::stringFromDateWithFormat(QDateTime::currentMSecsSinceEpoch(), pattern);
        const qsizetype parts = example.split(QLatin1Char('/'), Qt::SkipEmptyParts).size();
        _subdivisionExample->setText(
            localized("Example: %1")
                .arg(parts >= 2 ? localized("%1 (%2 nested subfolders)").arg(example).arg(parts) : example));
    }
    _subdivisionDateRow->setEnabled(ZRMainController::showsSubdivisionDateSelector());
}

void ZRPreferencesWindow::fillFolderSelector()
{
    ZRFolderMenu menu;
    const int selected = controller()->populateFolderMenu(menu, ZRMainController::downloadsFolder(), false,
                                                          false, false, true, false, 13);
    const QSignalBlocker blocker(_folderSelector);
    _folderSelector->clear();
    _folderItems.clear();
    int current = -1;
    for (qsizetype index = 0; index < menu.size(); ++index) {
        const ZRFolderMenuItem &item = menu.at(index);
        if (item.isSeparator()) {
            _folderSelector->insertSeparator(_folderSelector->count());
            _folderItems.append(item);
            continue;
        }
        if (item.kind != ZRFolderMenuItem::Kind::Item)
            continue;
        if (index == selected)
            current = _folderSelector->count();
        QIcon icon = QIcon::fromTheme(item.icon.name, QIcon::fromTheme(item.icon.fallbackName));
        _folderSelector->addItem(icon, item.title + item.suffix);
        _folderItems.append(item);
    }
    _folderSelector->setCurrentIndex(current);
}

void ZRPreferencesWindow::fillRuleList()
{
    _ruleList->clear();
    for (const QVariant &value : controller()->specialCases()) {
        const QVariantMap rule = value.toMap();
        auto *item =
            new QTreeWidgetItem(_ruleList, {ZRExtensions::specialCaseMenuTitle(rule), ruleDescription(rule)});
        item->setData(0, Qt::UserRole, rule);
    }
}

void ZRPreferencesWindow::editRule(const std::optional<QVariantMap> &rule)
{
    if (_ruleEditorHandler) {
        _ruleEditorHandler(rule);
        return;
    }
    ZRFolderRuleEditor::defineOrEditSpecialCase(rule, this);
}

// --- The download-page rules ---

std::optional<QVariant> ZRPreferencesWindow::validateObjectValue(const QVariant &object, ZRJSONTextView &)
{
    return controller()->validateObjectValue(object);
}

void ZRPreferencesWindow::didChangeObjectValueForTextView(ZRJSONTextView &textView)
{
    controller()->didChangeDownloadPageRulesText(textView.text());
    // An emptied text stands for the built-in rules: they are shown again.
    if (textView.text().trimmed().isEmpty())
        textView.setText(ZRPageRules::defaultRulesText());
}

void ZRPreferencesWindow::didApplySyntaxHighlighting(ZRJSONTextView &textView,
                                                     const QList<ZRJSONString> *strings)
{
    // A "title:" prefix of a "Use Source Name" value is an instruction, not part of the pattern.
    if (strings) {
        static const QRegularExpression prefix(QStringLiteral(R"(^"\s*(title\s*:)\s*(?=\S))"),
                                               QRegularExpression::CaseInsensitiveOption);
        for (qsizetype index = 1; index < strings->size(); ++index) {
            const ZRJSONString &key = strings->at(index - 1);
            if (!key.isKey || key.stringValue() != QStringLiteral("\"Use Source Name\""))
                continue;
            const ZRJSONString &value = strings->at(index);
            const QRegularExpressionMatch match = prefix.match(value.stringValue());
            if (match.hasMatch())
                textView.setColorForRange(value.location + match.capturedStart(1), match.capturedLength(1),
                                          textView.invalidCodeColor());
        }
        return;
    }
    static const QRegularExpression plist(
        QStringLiteral(R"(<\s*key\s*>Use Source Name<\s*/\s*key\s*>\s*<\s*string\s*>\s*(title\s*:))"),
        QRegularExpression::CaseInsensitiveOption);
    const QString text = textView.text();
    QRegularExpressionMatchIterator it = plist.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        textView.setColorForRange(match.capturedStart(1), match.capturedLength(1),
                                  textView.invalidCodeColor());
    }
}
