#include "app/ui/ZRFolderRuleEditor.h"

#include "app/control/ZRMainController.h"
#include "core/text/ZRFolderRules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace
{

ZRMainController *controller()
{
    return ZRMainController::mainController();
}

QString localized(const char *key)
{
    return QCoreApplication::translate("ZRFolderRuleEditor", key);
}

QIcon iconOf(const ZRIcon &icon)
{
    if (QFileInfo(icon.name).isAbsolute())
        return QIcon(icon.name);
    return QIcon::fromTheme(icon.name, QIcon::fromTheme(icon.fallbackName));
}

QPlainTextEdit *linesField(QWidget *parent, const QString &placeholder)
{
    auto *field = new QPlainTextEdit(parent);
    // Return starts a new line; the dialog's default button is not pressed from here.
    field->setTabChangesFocus(true);
    field->setPlaceholderText(placeholder);
    field->setFixedHeight(field->fontMetrics().lineSpacing() * 4 + 12);
    return field;
}

} // namespace

ZRFolderRuleEditor::ZRFolderRuleEditor(const std::optional<QVariantMap> &rule, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("SpecialCaseWindow"));
    setWindowTitle(rule ? localized("Edit Rule") : localized("Define Rule"));
    controller()->beginEditingSpecialCase(rule);

    auto *layout = new QVBoxLayout(this);
    auto *fields = new QFormLayout;
    _hostsField = linesField(this, localized("example.org"));
    _extensionsField = linesField(this, localized("zip"));
    fields->addRow(localized("Hosts:"), _hostsField);
    fields->addRow(localized("Extensions:"), _extensionsField);
    layout->addLayout(fields);

    _lowerPart = new QStackedWidget(this);
    auto *empty = new QLabel(localized("Enter at least one host or extension."), _lowerPart);
    empty->setAlignment(Qt::AlignCenter);
    empty->setEnabled(false);
    _lowerPart->addWidget(empty);
    auto *common = new QWidget(_lowerPart);
    auto *commonLayout = new QFormLayout(common);
    commonLayout->setContentsMargins(0, 0, 0, 0);
    _folderSelector = new QComboBox(common);
    commonLayout->addRow(localized("Download to:"), _folderSelector);
    _applicationSwitch = new QCheckBox(localized("Open with:"), common);
    _applicationSelector = new QComboBox(common);
    commonLayout->addRow(_applicationSwitch, _applicationSelector);
    _lowerPart->addWidget(common);
    layout->addWidget(_lowerPart);

    auto *buttons = new QDialogButtonBox(this);
    _removeButton = buttons->addButton(localized("Remove"), QDialogButtonBox::DestructiveRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    _okButton = buttons->addButton(QDialogButtonBox::Ok);
    _removeButton->setVisible(rule.has_value());
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(_removeButton, &QPushButton::clicked, this, [this] { done(RemoveResult); });

    if (rule) {
        _hostsField->setPlainText(rule->value(ZRFolderRuleKey::Hosts).toStringList().join(QLatin1Char('\n')));
        _extensionsField->setPlainText(
            rule->value(ZRFolderRuleKey::Extensions).toStringList().join(QLatin1Char('\n')));
    }
    fillFolderSelector();
    _applicationSwitch->setChecked(controller()->currentSpecialCaseApplicationID().has_value());
    fillApplicationSelector();

    connect(_hostsField, &QPlainTextEdit::textChanged, this, &ZRFolderRuleEditor::updateCommonControls);
    connect(_extensionsField, &QPlainTextEdit::textChanged, this,
            &ZRFolderRuleEditor::fillApplicationSelector);
    connect(_folderSelector, &QComboBox::activated, this, &ZRFolderRuleEditor::chooseFolderItem);
    connect(_applicationSwitch, &QCheckBox::toggled, this, &ZRFolderRuleEditor::updateCommonControls);
    connect(_applicationSelector, &QComboBox::activated, this, [this] {
        const QString identifier = chosenApplicationID();
        controller()->setCurrentSpecialCaseApplicationID(
            identifier.isEmpty() ? std::nullopt : std::optional<QString>(identifier));
        updateCommonControls();
    });
    setMinimumWidth(460);
}

ZRFolderRuleEditor::~ZRFolderRuleEditor()
{
    // Closed some other way: nothing changes, but the working values go.
    if (!_ended)
        controller()->endEditingSpecialCase(ZRMainController::SpecialCaseEditorResponse::Cancel, QString(),
                                            QString(), QString());
}

std::optional<QVariantMap> ZRFolderRuleEditor::defineOrEditSpecialCase(const std::optional<QVariantMap> &rule,
                                                                       QWidget *parent)
{
    ZRFolderRuleEditor editor(rule, parent);
    editor.exec();
    return editor.addedRule();
}

void ZRFolderRuleEditor::done(int result)
{
    if (!_ended) {
        _ended = true;
        const auto response = result == QDialog::Accepted ? ZRMainController::SpecialCaseEditorResponse::OK
                              : result == RemoveResult ? ZRMainController::SpecialCaseEditorResponse::Remove
                                                       : ZRMainController::SpecialCaseEditorResponse::Cancel;
        const bool useApplication = _applicationSwitch->isEnabled() && _applicationSwitch->isChecked() &&
                                    !chosenApplicationID().isEmpty();
        _addedRule = controller()->endEditingSpecialCase(response, _hostsField->toPlainText(),
                                                         _extensionsField->toPlainText(),
                                                         useApplication ? chosenApplicationID() : QString());
    }
    QDialog::done(result);
}

void ZRFolderRuleEditor::fillFolderSelector()
{
    ZRFolderMenu menu;
    const std::optional<QString> &folder = controller()->currentSpecialCaseDownloadsFolder();
    const int selected = controller()->populateFolderMenu(menu, folder.value_or(QString()), true, false,
                                                          false, true, false, 13);
    const QSignalBlocker blocker(_folderSelector);
    _folderSelector->clear();
    _folderItems.clear();
    int current = 0;
    for (qsizetype index = 0; index < menu.size(); ++index) {
        const ZRFolderMenuItem &item = menu.at(index);
        if (item.isSeparator()) {
            _folderSelector->insertSeparator(_folderSelector->count());
            _folderItems.append(item);
            continue;
        }
        // "Clear Menu" acts on the general folder list, not on this rule.
        if (item.kind != ZRFolderMenuItem::Kind::Item ||
            item.role == ZRFolderMenuItem::Role::ClearRecentFolders)
            continue;
        if (index == selected)
            current = _folderSelector->count();
        _folderSelector->addItem(iconOf(item.icon), item.title + item.suffix);
        _folderItems.append(item);
    }
    _folderSelector->setCurrentIndex(current);
    updateCommonControls();
}

void ZRFolderRuleEditor::chooseFolderItem(int index)
{
    if (index < 0 || index >= _folderItems.size())
        return;
    const ZRFolderMenuItem &item = _folderItems.at(index);
    switch (item.role) {
    case ZRFolderMenuItem::Role::DefaultFolder:
        controller()->setDownloadsFolder(QString(), true, false);
        break;
    case ZRFolderMenuItem::Role::Folder:
        controller()->setDownloadsFolder(item.path, true, false);
        break;
    case ZRFolderMenuItem::Role::OtherFolder:
        controller()->setDownloadsFolder(std::nullopt, true, false);
        break;
    default:
        break;
    }
    fillFolderSelector();
}

void ZRFolderRuleEditor::fillApplicationSelector()
{
    const QStringList extensions =
        ZRMainController::specialCaseExtensionsFromField(_extensionsField->toPlainText());
    int selected = -1;
    const QList<ZRMainController::ApplicationMenuItem> items =
        controller()->specialCaseApplicationMenu(extensions, &selected);
    const QSignalBlocker blocker(_applicationSelector);
    _applicationSelector->clear();
    for (const auto &item : items)
        _applicationSelector->addItem(
            iconOf({item.iconName, QStringLiteral("application-x-executable"), QSize(16, 16)}), item.title,
            item.bundleID);
    _applicationSelector->setCurrentIndex(std::max(selected, 0));
    _applicationSwitch->setEnabled(selected >= 0);
    updateCommonControls();
}

QString ZRFolderRuleEditor::chosenApplicationID() const
{
    return _applicationSelector->currentData().toString();
}

void ZRFolderRuleEditor::updateCommonControls()
{
    const QStringList hosts = ZRMainController::specialCaseHostsFromField(_hostsField->toPlainText());
    const QStringList extensions =
        ZRMainController::specialCaseExtensionsFromField(_extensionsField->toPlainText());
    _lowerPart->setCurrentIndex(hosts.isEmpty() && extensions.isEmpty() ? 0 : 1);
    _applicationSelector->setEnabled(_applicationSwitch->isEnabled() && _applicationSwitch->isChecked());
    const bool applicationChosen = _applicationSwitch->isEnabled() && _applicationSwitch->isChecked() &&
                                   !chosenApplicationID().isEmpty();
    _okButton->setEnabled(controller()->specialCaseEditorAcceptsHosts(hosts, extensions, applicationChosen));
}
