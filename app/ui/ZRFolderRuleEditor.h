// The folder-rule editor: hosts and extensions (one a line), the folder matching downloads go to,
// and the application that opens them, chosen among those that open every extension.
#pragma once

#include "app/control/ZRFolderMenu.h"

#include <QDialog>
#include <QVariantMap>

#include <optional>

class QCheckBox;
class QComboBox;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

// Main thread.
class ZRFolderRuleEditor : public QDialog
{
    Q_OBJECT
public:
    // The response that removes the edited rule.
    static constexpr int RemoveResult = 2;

    // Starts editing the rule (none: a new one) in the controller.
    explicit ZRFolderRuleEditor(const std::optional<QVariantMap> &rule, QWidget *parent = nullptr);
    ~ZRFolderRuleEditor() override;

    // Runs the editor modally and applies the result; the new rule, when one was stored.
    static std::optional<QVariantMap> defineOrEditSpecialCase(const std::optional<QVariantMap> &rule,
                                                              QWidget *parent);

    QPlainTextEdit *hostsField() const { return _hostsField; }
    QPlainTextEdit *extensionsField() const { return _extensionsField; }
    QComboBox *folderSelector() const { return _folderSelector; }
    QCheckBox *applicationSwitch() const { return _applicationSwitch; }
    QComboBox *applicationSelector() const { return _applicationSelector; }
    QPushButton *okButton() const { return _okButton; }
    QPushButton *removeButton() const { return _removeButton; }
    // Chooses the folder item at the index as the user would.
    void chooseFolderItem(int index);
    // The rule stored by OK, once the editor ended.
    const std::optional<QVariantMap> &addedRule() const { return _addedRule; }

    // Ends the editor: Accepted stores the rule of the fields, RemoveResult removes the edited
    // rule, anything else changes nothing.
    void done(int result) override;

private:
    void fillFolderSelector();
    void fillApplicationSelector();
    void updateCommonControls();
    QString chosenApplicationID() const;

    QPlainTextEdit *_hostsField = nullptr;
    QPlainTextEdit *_extensionsField = nullptr;
    QStackedWidget *_lowerPart = nullptr;
    QComboBox *_folderSelector = nullptr;
    QList<ZRFolderMenuItem> _folderItems;
    QCheckBox *_applicationSwitch = nullptr;
    QComboBox *_applicationSelector = nullptr;
    QPushButton *_okButton = nullptr;
    QPushButton *_removeButton = nullptr;
    bool _ended = false;
    std::optional<QVariantMap> _addedRule;
};
