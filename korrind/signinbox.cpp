#include "korrind/signinbox.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "common/helptopics.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"

namespace {

template <typename T> T *Named(T *widget, const char *name, help::TContext context)
{
    widget->setObjectName(name);
    contexthelp::SetHelpContext(widget, context);
    return widget;
}

} // namespace

TSignInBox::TSignInBox(QWidget *parent) : QGroupBox(signintext::GroupTitle, parent)
{
    setObjectName("SignInBox");
    cmbMethod = Named(new QComboBox(this), "cmbSignInMethod", help::SignInChoice);
    cmbMethod->addItems({signintext::PasswordChoice, signintext::OAuth2Choice});
    cmbProvider = Named(new QComboBox(this), "cmbSignInProvider", help::SignInProvider);
    for (const char *name : ProviderChoiceNames)
        cmbProvider->addItem(name);
    eIssuer = Named(new QLineEdit(this), "eSignInIssuer", help::SignInProvider);
    eIssuer->setPlaceholderText("https://login.example.org/");
    eClientId = Named(new QLineEdit(this), "eSignInClientId", help::SignInProvider);
    pfSignIn =
        Named(new TCaptionPanel(signintext::SignInButton, this), "pfSignIn", help::SignInButton);
    pfSignIn->setMinimumSize(72, 22);
    pfSignIn->setCursor(Qt::PointingHandCursor);
    lblState = Named(new QLabel(this), "lblSignInState", help::SignInButton);
    lblState->setWordWrap(true);
    // It shows the provider's own words, which may hold markup.
    lblState->setTextFormat(Qt::PlainText);

    auto *grid = new QGridLayout(this);
    grid->addWidget(new QLabel(signintext::MethodCaption, this), 0, 0);
    grid->addWidget(cmbMethod, 0, 1);
    grid->addWidget(new QLabel(signintext::ProviderCaption, this), 1, 0);
    grid->addWidget(cmbProvider, 1, 1);
    grid->addWidget(pfSignIn, 1, 2);
    grid->addWidget(new QLabel(signintext::IssuerCaption, this), 2, 0);
    grid->addWidget(eIssuer, 2, 1, 1, 2);
    grid->addWidget(new QLabel(signintext::ClientIdCaption, this), 3, 0);
    grid->addWidget(eClientId, 3, 1, 1, 2);
    grid->addWidget(lblState, 4, 0, 1, 3);
    grid->setColumnStretch(1, 1);

    for (QComboBox *box : {cmbMethod, cmbProvider})
        connect(box, &QComboBox::activated, this, [this] { Changed(); });
    for (QLineEdit *edit : {eIssuer, eClientId})
        connect(edit, &QLineEdit::textEdited, this, [this] { Changed(); });
    connect(pfSignIn, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && !PButtons->Press(pfSignIn))
            return;
        StartSignIn();
        if (PButtons)
            PButtons->Release(pfSignIn);
    });
    Flow.OnFinished = [this](const oauth2::TTokenResult &result, const std::string &scopes) {
        SignInFinished(result, scopes);
    };
    Show(TSignInChoice());
}

void TSignInBox::Show(const TSignInChoice &choice)
{
    Flow.Cancel();
    Filling = true;
    Shown = choice;
    cmbMethod->setCurrentIndex(choice.OAuth2 ? 1 : 0);
    cmbProvider->setCurrentIndex(int(choice.Provider));
    eIssuer->setText(QString::fromStdString(choice.Issuer));
    eClientId->setText(QString::fromStdString(choice.ClientId));
    lblState->setText(QString::fromStdString(SignInStateText(choice)));
    Filling = false;
    UpdateControls();
}

TSignInChoice TSignInBox::Choice() const
{
    TSignInChoice choice = Shown;
    choice.OAuth2 = OAuth2Chosen();
    choice.Provider = TProviderChoice(std::max(cmbProvider->currentIndex(), 0));
    choice.Issuer = eIssuer->text().toStdString();
    choice.ClientId = eClientId->text().toStdString();
    // Tokens of a sign-in here belong to the provider and client it ran with.
    choice.SignedInHere =
        Shown.SignedInHere && SameProvider(choice, SignInFor, Server ? Server() : std::string());
    return choice;
}

bool TSignInBox::OAuth2Chosen() const
{
    return cmbMethod->currentIndex() == 1;
}

void TSignInBox::UpdateControls()
{
    const bool oauth2 = OAuth2Chosen();
    const bool issuer = TProviderChoice(cmbProvider->currentIndex()) == TProviderChoice::Issuer;
    cmbProvider->setEnabled(oauth2);
    eIssuer->setEnabled(oauth2 && issuer);
    eClientId->setEnabled(oauth2 && issuer);
    lblState->setVisible(oauth2);
    if (PButtons)
        PButtons->SetEnabled(pfSignIn, oauth2);
    else
        pfSignIn->setEnabled(oauth2);
    if (PasswordEntry) {
        PasswordEntry->setEnabled(!oauth2);
        if (oauth2)
            PasswordEntry->clear();
    }
}

void TSignInBox::Changed()
{
    if (Filling)
        return;
    UpdateControls();
    if (OnChanged)
        OnChanged();
}

void TSignInBox::StartSignIn()
{
    if (!OAuth2Chosen() || Flow.Running())
        return;
    lblState->setText(signintext::SigningIn);
    SignInFor = Choice();
    Flow.Start(SignInFor, Server ? Server() : std::string(), UserId ? UserId() : std::string());
}

void TSignInBox::SignInFinished(const oauth2::TTokenResult &result, const std::string &scopes)
{
    if (!result.Ok()) {
        lblState->setText(
            QString::fromStdString(Format(signintext::SignInFailed, result.ErrorText.c_str())));
        return;
    }
    Shown.Tokens = result.Tokens;
    Shown.Scopes = scopes;
    Shown.SignInNeeded.clear();
    Shown.SignedInHere = true;
    lblState->setText(QString::fromStdString(SignInStateText(Shown)));
    if (OnChanged)
        OnChanged();
}
