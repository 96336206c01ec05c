#include "app/ui/ZRAuthenticationDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ZRAuthenticationDialog::ZRAuthenticationDialog(const ZRAuthenticationQuestion &question, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(question.proxy ? tr("Proxy Log-In") : tr("Log In"));
    auto *icon = new QLabel;
    icon->setPixmap(QApplication::windowIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);
    auto *explanation = new QLabel(question.explanation);
    explanation->setWordWrap(true);
    auto *security = new QLabel(question.securityInfo);
    security->setWordWrap(true);
    QFont small = security->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    security->setFont(small);

    auto *form = new QFormLayout;
    _domainField = new QLineEdit;
    form->addRow(tr("Domain:"), _domainField);
    // Hidden, the domain's row leaves no gap.
    form->setRowVisible(_domainField, question.showsDomain);
    _showsDomain = question.showsDomain;
    _nameField = new QLineEdit;
    _passwordField = new QLineEdit;
    _passwordField->setEchoMode(QLineEdit::Password);
    form->addRow(tr("Name:"), _nameField);
    form->addRow(tr("Password:"), _passwordField);
    _keychainSwitch = new QCheckBox(tr("Remember this password in my keyring"));
    _keychainSwitch->setChecked(question.storeInKeychain);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Log In"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *texts = new QVBoxLayout;
    texts->addWidget(explanation);
    texts->addWidget(security);
    texts->addLayout(form);
    texts->addWidget(_keychainSwitch);
    auto *top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(texts, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    (question.showsDomain ? _domainField : _nameField)->setFocus();
}

bool ZRAuthenticationDialog::showsDomain() const
{
    return _showsDomain;
}

ZRAuthenticationAnswer ZRAuthenticationDialog::answer() const
{
    return {showsDomain() ? _domainField->text() : QString(), _nameField->text(), _passwordField->text(),
            _keychainSwitch->isChecked()};
}

std::optional<ZRAuthenticationAnswer> ZRAuthenticationDialog::ask(const ZRAuthenticationQuestion &question,
                                                                   QWidget *parent)
{
    ZRAuthenticationDialog dialog(question, parent);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.answer();
}
