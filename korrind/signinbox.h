// TSignInBox: the sign-in choice of the mailbox editor and the outgoing-server window:
// "Password" or "OAuth2" with its provider (an issuer URL and a client ID for another issuer),
// a "Sign in" button that runs the browser sign-in and a line that tells the account it got or
// why it failed. Thin: the rules are in signinchoice.h.
#pragma once

#include <QGroupBox>
#include <functional>
#include <string>

#include "korrind/signinchoice.h"

class QComboBox;
class QLabel;
class QLineEdit;
class TCaptionPanel;

class TSignInBox : public QGroupBox
{
public:
    explicit TSignInBox(QWidget *parent = nullptr);

    // The user ID (the login hint) and the server the sign-in is for, asked at Sign in.
    std::function<std::string()> UserId;
    std::function<std::string()> Server;
    // The choice changed by the user (a sign-in included).
    std::function<void()> OnChanged;
    // The password entry the choice disables while OAuth2 is chosen.
    QLineEdit *PasswordEntry = nullptr;

    void Show(const TSignInChoice &choice);
    TSignInChoice Choice() const;
    void StartSignIn();
    bool SigningIn() const { return Flow.Running(); }
    // Ends a running sign-in (the window closes).
    void Cancel() { Flow.Cancel(); }

    QComboBox *cmbMethod; // "Password" or "OAuth2"
    QComboBox *cmbProvider;
    QLineEdit *eIssuer;
    QLineEdit *eClientId;
    TCaptionPanel *pfSignIn;
    QLabel *lblState;

private:
    void UpdateControls();
    bool OAuth2Chosen() const;
    void Changed();
    void SignInFinished(const oauth2::TTokenResult &result, const std::string &scopes);

    TSignInFlow Flow;
    TSignInChoice Shown;     // what the box shows beyond its controls: tokens and scopes
    TSignInChoice SignInFor; // the choice of the last sign-in started here
    bool Filling = false;
};
