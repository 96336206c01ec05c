// The log-in window of a server or proxy that asks for credentials: the program's icon, the
// explanation and security texts, the domain (for NTLM only), the name, the password and the
// keyring box.
#pragma once

#include "core/download/ZRHTTPAuthenticationManager.h"

#include <QDialog>

#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QWidget;

// Main thread.
class ZRAuthenticationDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ZRAuthenticationDialog(const ZRAuthenticationQuestion &question, QWidget *parent = nullptr);

    // The fields as they stand.
    ZRAuthenticationAnswer answer() const;
    bool showsDomain() const;

    // Modal: the answer, or none when the user cancelled.
    static std::optional<ZRAuthenticationAnswer> ask(const ZRAuthenticationQuestion &question, QWidget *parent);

private:
    bool _showsDomain = false;
    QLineEdit *_domainField = nullptr;
    QLineEdit *_nameField = nullptr;
    QLineEdit *_passwordField = nullptr;
    QCheckBox *_keychainSwitch = nullptr;
};
