// TAboutFrm: the About box. Title, build stamp, picture, seven text lines, and buttons that
// open the web page and a new message to the contact address through the desktop's opener.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

class TAboutFrm : public QDialog
{
public:
    explicit TAboutFrm(QWidget *parent = nullptr);

    // Fills the window (an empty address hides its button) and runs it modally.
    void ShowAbout(const std::vector<std::string> &lines, const std::string &webAddress,
                   const std::string &contactAddress);

    QLabel *pProgTitle;
    QLabel *pBuildDate;
    QLabel *Image1;
    QLabel *LMDSimpleLabel[7]; // LMDSimpleLabel1 to LMDSimpleLabel7
    QPushButton *bbWebSite;
    QPushButton *bbContact;
    QPushButton *bbOK;

    void bbWebSiteClick();
    void bbContactClick();

private:
    std::string WebAddress;
    std::string ContactAddress;
};
