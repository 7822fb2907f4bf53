#include "korrind/aboutfrm.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/names.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/about.h"
#include "korrind/trayicon.h"
#include "korrind/trayview.h"

namespace {

constexpr int PictureSize = 64;

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

void Open(const std::string &target)
{
    if (Utils && !Utils->ShellOpen(target, std::string(), false))
        Utils->DebugLog("Can't open %s", target.c_str());
}

} // namespace

TAboutFrm::TAboutFrm(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName("AboutFrm");
    setWindowTitle(abouttext::Caption);

    pProgTitle = new QLabel(this);
    pProgTitle->setObjectName("pProgTitle");
    pProgTitle->setAlignment(Qt::AlignCenter);
    QFont titleFont = pProgTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSize(titleFont.pointSize() + 4);
    pProgTitle->setFont(titleFont);
    pBuildDate = new QLabel(this);
    pBuildDate->setObjectName("pBuildDate");
    pBuildDate->setAlignment(Qt::AlignCenter);
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setPixmap(TrayImage(IdleImage).pixmap(PictureSize, PictureSize));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pProgTitle);
    layout->addWidget(pBuildDate);
    layout->addWidget(Image1);
    for (int i = 0; i < 7; ++i) {
        LMDSimpleLabel[i] = new QLabel(this);
        LMDSimpleLabel[i]->setObjectName(QString("LMDSimpleLabel%1").arg(i + 1));
        LMDSimpleLabel[i]->setAlignment(Qt::AlignCenter);
        layout->addWidget(LMDSimpleLabel[i]);
    }

    bbWebSite = new QPushButton(abouttext::WebCaption, this);
    bbWebSite->setObjectName("bbWebSite");
    bbContact = new QPushButton(abouttext::ContactCaption, this);
    bbContact->setObjectName("bbContact");
    bbOK = new QPushButton("OK", this);
    bbOK->setObjectName("bbOK");
    bbOK->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(bbWebSite);
    buttons->addWidget(bbContact);
    buttons->addStretch(1);
    buttons->addWidget(bbOK);
    layout->addLayout(buttons);

    connect(bbWebSite, &QPushButton::clicked, this, [this] { bbWebSiteClick(); });
    connect(bbContact, &QPushButton::clicked, this, [this] { bbContactClick(); });
    connect(bbOK, &QPushButton::clicked, this, &QDialog::accept);
}

void TAboutFrm::ShowAbout(const std::vector<std::string> &lines, const std::string &webAddress,
                          const std::string &contactAddress)
{
    WebAddress = webAddress;
    ContactAddress = contactAddress;
    pProgTitle->setText(names::AppTitle);
    pBuildDate->setText(ToQ(ProgramBuildStamp()));
    // An empty first and last line frame the caller's five lines.
    for (int i = 0; i < 7; ++i) {
        const std::size_t line = std::size_t(i - 1);
        LMDSimpleLabel[i]->setText(i >= 1 && i <= 5 && line < lines.size() ? ToQ(lines[line])
                                                                           : QString());
    }
    bbWebSite->setVisible(!webAddress.empty());
    bbWebSite->setToolTip(ToQ(webAddress));
    bbContact->setVisible(!contactAddress.empty());
    bbContact->setToolTip(ToQ(contactAddress));

    adjustSize();
    exec();
}

void TAboutFrm::bbWebSiteClick()
{
    Open(WebAddress);
}

void TAboutFrm::bbContactClick()
{
    Open(Format(abouttext::MailtoFormat, ContactAddress.c_str()));
}
